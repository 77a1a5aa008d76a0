// veld's side of the shared-memory log: the file "_.vsm" in the working
// directory, its segment allocator and the record writer. Readers in other
// processes follow the log without locks (see lib/vsl.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <pthread.h>

#include "vsm_layout.h"

constexpr const char *SHM_FILENAME = "_.vsm";
// 256 MiB of log: a whole usage round at the session limit (8,192 sessions
// with 200 remote addresses each, about 1.66 million records of 117 to 152
// bytes) fits with room to spare, so a reader held up while the round is
// written loses nothing.
constexpr uintmax_t SHM_DEFAULT_SHL = 268435456;
constexpr uintmax_t SHM_DEFAULT_FREE = 1048576; // 1 MiB spare
constexpr uint32_t SHM_FILL_BLOCK = 65536;
constexpr uint32_t VSL_MAX_RECORD = 512; // longer payloads are cut here
// Smallest log payload that still takes a maximum-size record after a wrap:
// the seq word, the record and the end marker behind it. A log size up to 7
// bytes below it is rounded up to it by the allocator, and so works.
constexpr uintmax_t SHM_MIN_SHL = 4 + VSL_HDR + VSL_MAX_RECORD + 4;
constexpr uint32_t VSM_COOL_SECONDS = 5;

// Create "_.vsm" in the current directory from the -l text (null or "" for
// the defaults), map it and allocate the log. Exits on any error.
void SHM_Init(const char *arg);
// Locate the log segment and reset the write position; right after SHM_Init.
void VSL_Init(void);
// Append one record; a payload longer than VSL_MAX_RECORD is cut.
void VSL(unsigned tag, uint32_t id, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// Append one record of len payload bytes (cut at VSL_MAX_RECORD), as VSL does
// with its formatted text.
void VSL_Write(unsigned tag, uint32_t id, const char *payload, size_t len);
// Allocate a segment of at least size payload bytes; null when none is free.
void *VSM_Alloc(unsigned size, const char *class_, const char *type, const char *ident);
// Release a segment from VSM_Alloc; it cools down before it is reused.
void VSM_Free(void *ptr);

// Parse a size ("1.5M", "64 kB", "4096"). Gives null and stores the value, or
// one of "Missing number", "Invalid number", "Absolute number required",
// "Invalid suffix".
const char *SHM_ParseSize(const char *p, uintmax_t *r);

// Checks the sizes of the -l option against what the file format can hold
// and stores the page-rounded file size in *total.
enum shm_size_check {
    SHM_SIZE_OK,
    SHM_SIZE_LOG_SMALL, // the log cannot take the largest record
    SHM_SIZE_TOO_BIG,   // the file size does not fit in 32 bits
    SHM_SIZE_NO_ROOM,   // no room for the log and the headers
};
shm_size_check SHM_CheckSizes(uintmax_t shl, uintmax_t fre, uintmax_t pg, uintmax_t *total);

// Module state; one writer per process.
struct shm_state {
    struct VSM_head *VSM_head; // the mapping
    uint8_t *vsm_end;          // mapping + file size
    int vsl_fd;                // holds the write lock for the life of the process
    uint32_t *vsl_start;       // the seq word of the log
    uint32_t *vsl_end;         // end of the log chunk
    uint32_t *vsl_ptr;         // next write position
    uint32_t *vsl_cnt;         // the record count segment, or null (no room for it)
    uint64_t nrec;             // records reserved so far
    pthread_mutex_t vsl_mtx;
    pthread_mutex_t vsm_mtx;
    uint32_t (*mono)(void); // monotonic whole seconds; tests replace it
};
extern shm_state shm;

// Internals, visible for tests.
void *VSM__Alloc(unsigned size, const char *class_, const char *type, const char *ident);
void VSM__Free(void *ptr);
void VSM__Clean(void);
void vsm_cleanup(void);
VSM_chunk *vsm_iter_0(void);
VSM_chunk *vsm_iter_n(VSM_chunk *c);
uint32_t *vsl_get(unsigned len);
void vsl_wrap(void);
void vsl_hdr(unsigned tag, uint32_t *p, unsigned len, uint32_t id);
uint32_t vsl_w0(uint32_t tag, uint32_t len);
// Unmap and close (the lock goes with the descriptor); for tests that build
// several files in one process.
void SHM_Close(void);
