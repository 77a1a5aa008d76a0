// On-disk layout of the shared-memory log file "_.vsm", shared by veld (the
// writer) and the readers (velumond, vellogtail, velstatus). All run on the
// same machine, so every integer is in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint32_t VSM_HEAD_MAGIC = 0xF979DA36;
constexpr uint32_t VSM_CHUNK_MAGIC = 0x43907B6E;

// Header of one chunk; its payload follows directly behind it.
struct VSM_chunk {
    uint32_t magic;      // VSM_CHUNK_MAGIC
    uint32_t len;        // header plus payload, i.e. distance to the next chunk
    uint32_t cool_since; // monotonic seconds when freed, else 0
    char class_[8];      // "Free", "Cool", "Log", ...
    char type[8];
    char ident[64];
};

// File header at offset 0; the chunk list starts at its head field.
struct VSM_head {
    uint32_t magic;     // VSM_HEAD_MAGIC
    uint32_t hdr_size;  // sizeof(VSM_head)
    uint32_t shm_size;  // size of the whole file
    uint32_t alloc_seq; // 0 while the chunk list is being changed
    VSM_chunk head;
};

static_assert(sizeof(VSM_chunk) == 92);
static_assert(sizeof(VSM_head) == 108);
static_assert(offsetof(VSM_head, head) == 16);
static_assert(offsetof(VSM_chunk, class_) == 12 && offsetof(VSM_chunk, type) == 20 &&
              offsetof(VSM_chunk, ident) == 28);

constexpr uint32_t VSM_HEAD_SIZE = sizeof(VSM_head);
constexpr uint32_t VSM_CHUNK_SIZE = sizeof(VSM_chunk);
constexpr uint32_t VSM_HEAD_OFFSET = offsetof(VSM_head, head);

constexpr const char *VSM_CLASS_FREE = "Free";
constexpr const char *VSM_CLASS_COOL = "Cool";
constexpr const char *VSM_CLASS_LOG = "Log";
constexpr const char *VSM_CLASS_MARK = "MgrCld";

inline uint8_t *VSM_PTR(VSM_chunk *c)
{
    return reinterpret_cast<uint8_t *>(c) + VSM_CHUNK_SIZE;
}
inline const uint8_t *VSM_PTR(const VSM_chunk *c)
{
    return reinterpret_cast<const uint8_t *>(c) + VSM_CHUNK_SIZE;
}

// Log segment payload: word 0 is seq, records start at word 1.
constexpr uint32_t VSL_ENDMARKER = 0xFF454545;  // nothing written here yet
constexpr uint32_t VSL_WRAPMARKER = 0xFF575757; // ring continues at word 1
constexpr uint32_t VSL_FIRST = 4;               // payload offset of the first record

// Record count segment (class VSM_CLASS_LOGCNT), so that a reader overtaken
// by the writer can tell how many records it missed: how many records the
// writer had reserved before the first record of the current cycle, and
// which cycle (seq) that count belongs to. Words: seq (0 while the count is
// being changed), then the count as low and high 32 bits.
constexpr const char *VSM_CLASS_LOGCNT = "LogCnt";
constexpr uint32_t VSL_CNT_WORDS = 4;
constexpr uint32_t VSL_CNT_SEQ = 0;
constexpr uint32_t VSL_CNT_LO = 1;
constexpr uint32_t VSL_CNT_HI = 2;

// Record: word 0 = tag << 24 | length, word 1 = id, then the padded payload.
constexpr uint32_t VSL_HDR = 8;
inline uint32_t VSL_TAG(uint32_t w0)
{
    return w0 >> 24;
}
inline uint32_t VSL_LEN(uint32_t w0)
{
    return w0 & 0xffff;
}
inline uint32_t VSL_BYTES(uint32_t len)
{
    return VSL_HDR + ((len + 3) & ~3u);
}

// The words the other process watches are read and written as atomics, so the
// compiler neither tears nor caches them; ordering comes from explicit fences.
inline uint32_t vsm_load(const uint32_t *p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}
inline void vsm_store(uint32_t *p, uint32_t v)
{
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}
inline void vsm_store_fence()
{
    __atomic_thread_fence(__ATOMIC_RELEASE);
}
inline void vsm_load_fence()
{
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
}
inline void vsm_full_fence()
{
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
}
