// The shared-memory log file of veld: creation, segment allocator, records.
//
// Readers map the file read-only and take no lock, so every change here is
// ordered so that a reader sees either the old or the complete new state:
// records are published by their first word, chunk-list changes happen only
// while alloc_seq is 0.

#include "veld_shmlog.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <random>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vas.h"
#include "vav.h"
#include "vpf.h"

static uint32_t shm_mono_real(void)
{
    struct timespec ts;
    AZ(clock_gettime(CLOCK_MONOTONIC, &ts));
    return static_cast<uint32_t>(ts.tv_sec);
}

shm_state shm = {
    nullptr,
    nullptr,
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    0,
    PTHREAD_MUTEX_INITIALIZER,
    PTHREAD_MUTEX_INITIALIZER,
    shm_mono_real,
};

/*--------------------------------------------------------------------
 * Sizes of the -l option
 */

const char *SHM_ParseSize(const char *p, uintmax_t *r)
{
    if (p == nullptr || *p == '\0')
        return "Missing number";
    char *end;
    errno = 0;
    double fval = strtod(p, &end);
    if (end == p || !std::isfinite(fval))
        return "Invalid number";
    if (*end == '\0') {
        *r = fval <= 0 ? 0 : fval >= 0x1p64 ? UINTMAX_MAX : static_cast<uintmax_t>(fval);
        return nullptr;
    }
    if (end[0] == '%' && end[1] == '\0')
        return "Absolute number required";
    if (end[0] == ' ' && end[1] != '\0')
        end++;
    double mult = 1;
    switch (*end) {
    case 'k':
    case 'K':
        mult = 0x1p10;
        end++;
        break;
    case 'm':
    case 'M':
        mult = 0x1p20;
        end++;
        break;
    case 'g':
    case 'G':
        mult = 0x1p30;
        end++;
        break;
    case 't':
    case 'T':
        mult = 0x1p40;
        end++;
        break;
    case 'p':
    case 'P':
        mult = 0x1p50;
        end++;
        break;
    case 'e':
    case 'E':
        mult = 0x1p60;
        end++;
        break;
    default:
        break;
    }
    if (*end == 'b' || *end == 'B')
        end++;
    if (*end != '\0')
        return "Invalid suffix";
    fval = std::round(fval * mult);
    *r = fval <= 0 ? 0 : fval >= 0x1p64 ? UINTMAX_MAX : static_cast<uintmax_t>(fval);
    return nullptr;
}

shm_size_check SHM_CheckSizes(uintmax_t shl, uintmax_t fre, uintmax_t pg, uintmax_t *total)
{
    AN(total);
    VAS_ASSERT(pg > 0);
    // The log chunk's payload is shl rounded up to 8 bytes; that is what
    // must take the largest record after a wrap.
    if (shl > UINT32_MAX || ((shl + 7) & ~uintmax_t{7}) < SHM_MIN_SHL)
        return shl > UINT32_MAX ? SHM_SIZE_TOO_BIG : SHM_SIZE_LOG_SMALL;
    // Sizes are stored in 32 bits: the page-rounded total must fit there.
    const uintmax_t max_total = UINT32_MAX / pg * pg;
    if (fre > UINT32_MAX || shl + fre > max_total)
        return SHM_SIZE_TOO_BIG;
    *total = (shl + fre + pg - 1) / pg * pg;
    const uintmax_t need = ((shl + 7) & ~uintmax_t{7}) + VSM_CHUNK_SIZE + VSM_HEAD_OFFSET;
    if (need > *total)
        return SHM_SIZE_NO_ROOM;
    return SHM_SIZE_OK;
}

/*--------------------------------------------------------------------
 * Chunk list
 */

static inline uint8_t *chunk_end(VSM_chunk *c)
{
    return reinterpret_cast<uint8_t *>(c) + c->len;
}

VSM_chunk *vsm_iter_0(void)
{
    AN(shm.VSM_head);
    CHECK_OBJ(shm.VSM_head, VSM_HEAD_MAGIC);
    CHECK_OBJ(&shm.VSM_head->head, VSM_CHUNK_MAGIC);
    return &shm.VSM_head->head;
}

VSM_chunk *vsm_iter_n(VSM_chunk *c)
{
    CHECK_OBJ(shm.VSM_head, VSM_HEAD_MAGIC);
    CHECK_OBJ(c, VSM_CHUNK_MAGIC);
    VAS_ASSERT(c->len >= VSM_CHUNK_SIZE);
    uint8_t *n = chunk_end(c);
    VAS_ASSERT(n <= shm.vsm_end);
    if (n == shm.vsm_end)
        return nullptr;
    VSM_chunk *nc = reinterpret_cast<VSM_chunk *>(n);
    CHECK_OBJ(nc, VSM_CHUNK_MAGIC);
    return nc;
}

static inline bool is_class(const VSM_chunk *c, const char *cls)
{
    return strncmp(c->class_, cls, sizeof c->class_) == 0;
}

static void set_text(char *dst, size_t size, const char *src)
{
    memset(dst, 0, size);
    memcpy(dst, src, strlen(src));
}

// alloc_seq is 0 while the list changes; a reader that saw another value
// abandons its walk.
static uint32_t seq_hold(void)
{
    uint32_t seq = vsm_load(&shm.VSM_head->alloc_seq);
    vsm_store(&shm.VSM_head->alloc_seq, 0);
    vsm_store_fence();
    return seq;
}

static void seq_release(uint32_t seq)
{
    if (seq == 0)
        return; // an outer change holds it
    vsm_store_fence();
    seq++;
    if (seq == 0)
        seq++;
    vsm_store(&shm.VSM_head->alloc_seq, seq);
}

static void chunk_absorb_next(VSM_chunk *c)
{
    VSM_chunk *n = reinterpret_cast<VSM_chunk *>(chunk_end(c));
    CHECK_OBJ(n, VSM_CHUNK_MAGIC);
    c->len += n->len;
    memset(n, 0, sizeof *n);
}

static VSM_chunk *next_free(VSM_chunk *c)
{
    if (chunk_end(c) >= shm.vsm_end)
        return nullptr;
    VSM_chunk *n = reinterpret_cast<VSM_chunk *>(chunk_end(c));
    CHECK_OBJ(n, VSM_CHUNK_MAGIC);
    return is_class(n, VSM_CLASS_FREE) ? n : nullptr;
}

void vsm_cleanup(void)
{
    uint32_t now = shm.mono();
    bool due = false;
    for (VSM_chunk *c = vsm_iter_0(); c != nullptr; c = vsm_iter_n(c))
        if (is_class(c, VSM_CLASS_COOL) && c->cool_since + VSM_COOL_SECONDS < now)
            due = true;
    if (!due)
        return;

    uint32_t seq = seq_hold();
    for (VSM_chunk *c = vsm_iter_0(); c != nullptr; c = vsm_iter_n(c)) {
        if (!is_class(c, VSM_CLASS_COOL) || c->cool_since + VSM_COOL_SECONDS >= now)
            continue;
        set_text(c->class_, sizeof c->class_, VSM_CLASS_FREE);
        set_text(c->type, sizeof c->type, "");
        set_text(c->ident, sizeof c->ident, "");
        if (next_free(c) != nullptr)
            chunk_absorb_next(c);
        c->cool_since = 0;
    }
    // Merge what is left, so that neighbouring free chunks become one.
    for (VSM_chunk *c = vsm_iter_0(); c != nullptr; c = vsm_iter_n(c)) {
        if (!is_class(c, VSM_CLASS_FREE))
            continue;
        while (next_free(c) != nullptr)
            chunk_absorb_next(c);
    }
    seq_release(seq);
}

void *VSM__Alloc(unsigned size, const char *class_, const char *type, const char *ident)
{
    vsm_cleanup();
    uint64_t need = ((static_cast<uint64_t>(size) + 7) & ~7ull) + VSM_CHUNK_SIZE;
    VSM_chunk *c = nullptr;
    for (VSM_chunk *i = vsm_iter_0(); i != nullptr; i = vsm_iter_n(i)) {
        if (is_class(i, VSM_CLASS_FREE) && i->len >= need) {
            c = i;
            break;
        }
    }
    if (c == nullptr)
        return nullptr;

    uint32_t seq = seq_hold();
    if (need + VSM_CHUNK_SIZE < c->len) {
        VSM_chunk *n = reinterpret_cast<VSM_chunk *>(reinterpret_cast<uint8_t *>(c) + need);
        memset(n, 0, sizeof *n);
        n->magic = VSM_CHUNK_MAGIC;
        n->len = c->len - static_cast<uint32_t>(need);
        set_text(n->class_, sizeof n->class_, VSM_CLASS_FREE);
        c->len = static_cast<uint32_t>(need);
    }
    set_text(c->class_, sizeof c->class_, class_);
    set_text(c->type, sizeof c->type, type);
    set_text(c->ident, sizeof c->ident, ident);
    seq_release(seq);
    return VSM_PTR(c);
}

void *VSM_Alloc(unsigned size, const char *class_, const char *type, const char *ident)
{
    AN(class_);
    AN(type);
    AN(ident);
    VAS_ASSERT(strlen(class_) < sizeof(VSM_chunk::class_));
    VAS_ASSERT(strlen(type) < sizeof(VSM_chunk::type));
    VAS_ASSERT(strlen(ident) < sizeof(VSM_chunk::ident));
    AZ(pthread_mutex_lock(&shm.vsm_mtx));
    void *p = VSM__Alloc(size, class_, type, ident);
    AZ(pthread_mutex_unlock(&shm.vsm_mtx));
    return p;
}

void VSM__Free(void *ptr)
{
    VSM_chunk *c = nullptr;
    for (VSM_chunk *i = vsm_iter_0(); i != nullptr; i = vsm_iter_n(i)) {
        if (VSM_PTR(i) == ptr) {
            c = i;
            break;
        }
    }
    AN(c);
    uint32_t seq = seq_hold();
    set_text(c->class_, sizeof c->class_, VSM_CLASS_COOL);
    c->cool_since = shm.mono();
    seq_release(seq);
}

void VSM_Free(void *ptr)
{
    AZ(pthread_mutex_lock(&shm.vsm_mtx));
    VSM__Free(ptr);
    AZ(pthread_mutex_unlock(&shm.vsm_mtx));
}

void VSM__Clean(void)
{
    uint32_t seq = seq_hold();
    bool after_mark = false;
    for (VSM_chunk *c = vsm_iter_0(); c != nullptr; c = vsm_iter_n(c)) {
        if (after_mark && !is_class(c, VSM_CLASS_FREE) && !is_class(c, VSM_CLASS_COOL))
            VSM__Free(VSM_PTR(c));
        else if (!after_mark && is_class(c, VSM_CLASS_MARK))
            after_mark = true;
    }
    seq_release(seq);
}

/*--------------------------------------------------------------------
 * Creating the file
 */

[[noreturn]] static void shm_fail(int status, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
static void shm_fail(int status, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    exit(status);
}

// An existing file must be ours to replace: a regular file that no running
// veld holds.
static void vsl_n_check(void)
{
    struct stat st;
    if (stat(SHM_FILENAME, &st) != 0)
        return;
    if (!S_ISREG(st.st_mode))
        shm_fail(2, "Error: \tshmlog: Not a file\n");
    int fd = open(SHM_FILENAME, O_RDWR);
    if (fd < 0)
        return;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        shm_fail(2, "Error: \tshmlog: Not a file\n");
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    if (fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK)
        shm_fail(2, "SHMFILE locked by running veld (pid=%jd)\n", static_cast<intmax_t>(fl.l_pid));
    VSM_head old;
    (void)!read(fd, &old, sizeof old);
    AZ(close(fd));
}

static void vsl_buildnew(uint32_t size, bool fill)
{
    (void)unlink(SHM_FILENAME);
    int fd = vpf_open_locked(SHM_FILENAME, O_RDWR | O_CREAT | O_EXCL | O_NONBLOCK, 0644);
    if (fd < 0)
        shm_fail(1, "Could not create %s: %s\n", SHM_FILENAME, strerror(errno));
    int fl = fcntl(fd, F_GETFL);
    VAS_ASSERT(fl != -1);
    AZ(fcntl(fd, F_SETFL, fl & ~O_NONBLOCK));

    VSM_head hdr;
    memset(&hdr, 0, sizeof hdr);
    hdr.magic = VSM_HEAD_MAGIC;
    hdr.hdr_size = VSM_HEAD_SIZE;
    hdr.shm_size = size;
    VAS_ASSERT(write(fd, &hdr, sizeof hdr) == static_cast<ssize_t>(sizeof hdr));
    if (fill) {
        static const char zeros[SHM_FILL_BLOCK] = {};
        for (uint64_t done = sizeof hdr; done < size;) {
            ssize_t r = write(fd, zeros, sizeof zeros);
            if (r <= 0) {
                if (r == 0)
                    errno = ENOSPC;
                shm_fail(1, "Write error %s: %s\n", SHM_FILENAME, strerror(errno));
            }
            done += static_cast<uint64_t>(r);
        }
    }
    AZ(ftruncate(fd, size));
    shm.vsl_fd = fd;
}

static uint32_t random_nonzero(uint32_t mask)
{
    static std::random_device rd;
    uint32_t v;
    do
        v = rd() & mask;
    while (v == 0);
    return v;
}

void SHM_Init(const char *arg)
{
    int ac = 0;
    char **av = VAV_Parse(arg == nullptr ? "" : arg, &ac, VAV_SPLIT_COMMA);
    AN(av);
    if (av[0] != nullptr)
        shm_fail(2, "Error: \t-l ...: %s", av[0]);

    uintmax_t shl = SHM_DEFAULT_SHL, fre = SHM_DEFAULT_FREE;
    bool fill = true;
    const char *err;
    if (ac > 1 && *av[1] != '\0' && (err = SHM_ParseSize(av[1], &shl)) != nullptr)
        shm_fail(2, "Error: \t-l[1] ...:  %s\n", err);
    if (ac > 2 && *av[2] != '\0' && (err = SHM_ParseSize(av[2], &fre)) != nullptr)
        shm_fail(2, "Error: \t-l[2] ...:  %s\n", err);
    if (ac > 3) {
        if (strcmp(av[3], "-") == 0)
            fill = false;
        else if (strcmp(av[3], "") != 0 && strcmp(av[3], "+") != 0)
            shm_fail(2, "Error: \t-l[3] ...:  Must be \"-\" or \"+\"\n");
    }
    if (ac > 4)
        shm_fail(2, "Error: \t-l ...:  Too many sub-args\n");
    VAV_Release(av);

    const uintmax_t pg = static_cast<uintmax_t>(sysconf(_SC_PAGESIZE));
    uintmax_t total = 0;
    switch (SHM_CheckSizes(shl, fre, pg, &total)) {
    case SHM_SIZE_OK:
        break;
    case SHM_SIZE_LOG_SMALL:
        shm_fail(2, "Error: \t-l[1] ...:  Log size must be at least %ju bytes\n", SHM_MIN_SHL - 7);
    case SHM_SIZE_TOO_BIG:
        shm_fail(2, "Error: \t-l ...:  Total size must stay below 4 GiB\n");
    case SHM_SIZE_NO_ROOM:
        shm_fail(2, "Error: \t-l[2] ...:  Too small to hold the log and its headers\n");
    }
    const uint32_t size = static_cast<uint32_t>(total);

    vsl_n_check();
    vsl_buildnew(size, fill);

    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, shm.vsl_fd, 0);
    VAS_ASSERT(map != MAP_FAILED);
    (void)mlock(map, size); // best effort: the limit may be lower

    shm.VSM_head = static_cast<VSM_head *>(map);
    VSM_chunk *h = &shm.VSM_head->head;
    memset(h, 0, sizeof *h);
    h->magic = VSM_CHUNK_MAGIC;
    h->len = size - VSM_HEAD_OFFSET;
    set_text(h->class_, sizeof h->class_, VSM_CLASS_FREE);
    vsm_store_fence();
    shm.vsm_end = static_cast<uint8_t *>(map) + size;

    uint32_t *log = static_cast<uint32_t *>(VSM_Alloc(static_cast<unsigned>(shl), "Log", "", ""));
    AN(log);
    vsm_store(&log[1], VSL_ENDMARKER);
    vsm_store_fence();
    vsm_store(&log[0], random_nonzero(0xffff));
    vsm_store_fence();
    // Without room for it (a free area of less than 108 bytes) readers
    // still follow the log; they only cannot count what they miss.
    auto *cnt = static_cast<uint32_t *>(
        VSM_Alloc(VSL_CNT_WORDS * sizeof(uint32_t), VSM_CLASS_LOGCNT, "", ""));
    if (cnt != nullptr)
        memset(cnt, 0, VSL_CNT_WORDS * sizeof(uint32_t));
    vsm_store_fence();
    vsm_store(&shm.VSM_head->alloc_seq, random_nonzero(0xffffffff));
}

void SHM_Close(void)
{
    if (shm.VSM_head != nullptr)
        AZ(munmap(shm.VSM_head, shm.VSM_head->shm_size));
    if (shm.vsl_fd >= 0)
        AZ(close(shm.vsl_fd));
    shm.VSM_head = nullptr;
    shm.vsm_end = nullptr;
    shm.vsl_fd = -1;
    shm.vsl_start = shm.vsl_end = shm.vsl_ptr = nullptr;
    shm.vsl_cnt = nullptr;
    shm.nrec = 0;
}

/*--------------------------------------------------------------------
 * Records
 */

void VSL_Init(void)
{
    // The mutexes are initialised statically, so VSM_Alloc in SHM_Init
    // could already use vsm_mtx.
    AZ(pthread_mutex_lock(&shm.vsm_mtx));
    VSM__Clean();
    VSM_chunk *log = nullptr, *cnt = nullptr;
    for (VSM_chunk *c = vsm_iter_0(); c != nullptr; c = vsm_iter_n(c)) {
        if (log == nullptr && is_class(c, VSM_CLASS_LOG))
            log = c;
        if (cnt == nullptr && is_class(c, VSM_CLASS_LOGCNT))
            cnt = c;
    }
    AZ(pthread_mutex_unlock(&shm.vsm_mtx));
    AN(log);

    AZ(pthread_mutex_lock(&shm.vsl_mtx));
    shm.vsl_start = reinterpret_cast<uint32_t *>(VSM_PTR(log));
    shm.vsl_end = reinterpret_cast<uint32_t *>(chunk_end(log));
    shm.vsl_ptr = shm.vsl_start + 1;
    shm.vsl_cnt = cnt != nullptr ? reinterpret_cast<uint32_t *>(VSM_PTR(cnt)) : nullptr;
    shm.nrec = 0;
    vsl_wrap();
    AZ(pthread_mutex_unlock(&shm.vsl_mtx));
}

uint32_t vsl_w0(uint32_t tag, uint32_t len)
{
    VAS_ASSERT(len < 0x10000);
    return ((tag & 0xff) << 24) | len;
}

// Caller holds vsl_mtx.
void vsl_wrap(void)
{
    uint32_t *first = shm.vsl_start + 1;
    vsm_store(first, VSL_ENDMARKER);
    uint32_t seq = vsm_load(shm.vsl_start) + 1;
    if (seq == 0)
        seq++;
    // The count of the new cycle is in place before its seq is.
    if (shm.vsl_cnt != nullptr) {
        vsm_store(&shm.vsl_cnt[VSL_CNT_SEQ], 0);
        vsm_store_fence();
        vsm_store(&shm.vsl_cnt[VSL_CNT_LO], static_cast<uint32_t>(shm.nrec));
        vsm_store(&shm.vsl_cnt[VSL_CNT_HI], static_cast<uint32_t>(shm.nrec >> 32));
        vsm_store_fence();
        vsm_store(&shm.vsl_cnt[VSL_CNT_SEQ], seq);
        vsm_store_fence();
    }
    vsm_store(shm.vsl_start, seq);
    vsm_store_fence();
    if (shm.vsl_ptr != first) {
        vsm_store(shm.vsl_ptr, VSL_WRAPMARKER);
        shm.vsl_ptr = first;
    }
}

uint32_t *vsl_get(unsigned len)
{
    if (pthread_mutex_trylock(&shm.vsl_mtx) != 0)
        AZ(pthread_mutex_lock(&shm.vsl_mtx));
    AN(shm.vsl_ptr);
    const uint32_t words = VSL_BYTES(len) / 4;
    if (shm.vsl_ptr + words >= shm.vsl_end)
        vsl_wrap();
    uint32_t *p = shm.vsl_ptr;
    shm.vsl_ptr += words;
    shm.nrec++;
    VAS_ASSERT(shm.vsl_ptr < shm.vsl_end);
    // The reserved record still reads as an end marker until vsl_hdr.
    vsm_store(shm.vsl_ptr, VSL_ENDMARKER);
    AZ(pthread_mutex_unlock(&shm.vsl_mtx));
    return p;
}

void vsl_hdr(unsigned tag, uint32_t *p, unsigned len, uint32_t id)
{
    vsm_store(&p[1], id);
    vsm_full_fence();
    vsm_store(&p[0], vsl_w0(tag, len));
}

void VSL(unsigned tag, uint32_t id, const char *fmt, ...)
{
    // One byte beyond the maximum, so a cut record keeps all its 512 bytes of
    // text rather than ending in vsnprintf's NUL.
    char buf[VSL_MAX_RECORD + 1];
    const char *src = fmt;
    size_t len;
    if (strchr(fmt, '%') == nullptr) {
        len = strlen(fmt);
    } else {
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        len = n < 0 ? 0 : static_cast<size_t>(n);
        src = buf;
    }
    VSL_Write(tag, id, src, len);
}

void VSL_Write(unsigned tag, uint32_t id, const char *payload, size_t len)
{
    if (len > VSL_MAX_RECORD)
        len = VSL_MAX_RECORD;
    uint32_t *p = vsl_get(static_cast<unsigned>(len));
    memcpy(p + 2, payload, len);
    vsl_hdr(tag, p, static_cast<unsigned>(len), id);
}
