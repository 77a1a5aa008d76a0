// Opening veld's shared-memory file read-only and walking its chunks.

#include "vsm.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "vas.h"

static int vsm_diag_stderr(void *priv, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = vfprintf(static_cast<FILE *>(priv), fmt, ap);
    va_end(ap);
    return r;
}

VSM_data *VSM_New(void)
{
    VSM_data *vd = static_cast<VSM_data *>(calloc(1, sizeof *vd));
    AN(vd);
    vd->magic = VSM_MAGIC;
    vd->diag = vsm_diag_stderr;
    vd->priv = stderr;
    vd->vsm_fd = -1;
    return vd;
}

void VSM_Diag(VSM_data *vd, vsm_diag_f *func, void *priv)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    if (func == nullptr) {
        vd->diag = vsm_diag_stderr;
        vd->priv = stderr;
    } else {
        vd->diag = func;
        vd->priv = priv;
    }
}

static int dup_out(const std::string &s, char **out)
{
    if (out == nullptr)
        return 0;
    *out = strdup(s.c_str());
    return *out == nullptr ? -1 : 0;
}

int VIN_N_Arg(const char *n, char **name, char **dir, char **file)
{
    std::string nm;
    if (n == nullptr || *n == '\0') {
        char host[VSM_PATH_LIMIT];
        if (gethostname(host, sizeof host) != 0)
            return -1;
        host[sizeof host - 1] = '\0';
        nm = host;
    } else {
        nm = n;
    }
    std::string d = nm[0] == '/' ? nm : std::string(VSM_DEFAULT_DIR) + "/" + nm;
    std::string f = d + "/" + VSM_FILENAME;
    if (nm.size() + 1 > VSM_PATH_LIMIT || d.size() + 1 > VSM_PATH_LIMIT ||
        f.size() + 1 > VSM_PATH_LIMIT) {
        errno = ENAMETOOLONG;
        return -1;
    }
    d += "/";
    char *o_name = nullptr, *o_dir = nullptr;
    if (dup_out(nm, name ? &o_name : nullptr) != 0)
        return -1;
    if (dup_out(d, dir ? &o_dir : nullptr) != 0) {
        free(o_name);
        return -1;
    }
    char *o_file = nullptr;
    if (dup_out(f, file ? &o_file : nullptr) != 0) {
        free(o_name);
        free(o_dir);
        return -1;
    }
    if (name != nullptr)
        *name = o_name;
    if (dir != nullptr)
        *dir = o_dir;
    if (file != nullptr)
        *file = o_file;
    return 0;
}

int VSM_n_Arg(VSM_data *vd, const char *name)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    AN(name);
    char *fname = nullptr;
    char *copy = strdup(name);
    AN(copy);
    if (VIN_N_Arg(copy, nullptr, nullptr, &fname) != 0) {
        vd->diag(vd->priv, "Invalid instance name: %s\n", strerror(errno));
        free(copy);
        return -1;
    }
    free(vd->n_opt);
    free(vd->fname);
    vd->n_opt = copy;
    vd->fname = fname;
    return 1;
}

// Every failure leaves the handle closed.
int vsm_open(VSM_data *vd, int diag)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    AN(vd->fname);
    VAS_ASSERT(vd->vsm_fd < 0 && vd->VSM_head == nullptr);

    // Non-blocking, so that a FIFO put in the file's place is refused below
    // instead of hanging the open; regular files are read as usual.
    int fd = open(vd->fname, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        if (diag)
            vd->diag(vd->priv, "Cannot open %s: %s\n", vd->fname, strerror(errno));
        return 1;
    }
    struct stat st;
    AZ(fstat(fd, &st));
    if (!S_ISREG(st.st_mode)) {
        if (diag)
            vd->diag(vd->priv, "%s is not a regular file\n", vd->fname);
        AZ(close(fd));
        return 1;
    }
    VSM_head hdr;
    ssize_t r = read(fd, &hdr, sizeof hdr);
    if (r != static_cast<ssize_t>(sizeof hdr)) {
        if (r >= 0)
            errno = ENODATA;
        if (diag)
            vd->diag(vd->priv, "Cannot read %s: %s\n", vd->fname, strerror(errno));
        AZ(close(fd));
        return 1;
    }
    if (hdr.magic != VSM_HEAD_MAGIC) {
        if (diag)
            vd->diag(vd->priv, "Wrong magic number in file %s\n", vd->fname);
        AZ(close(fd));
        return 1;
    }
    if (hdr.shm_size < VSM_HEAD_SIZE) {
        if (diag)
            vd->diag(vd->priv, "File %s is shorter than its header says\n", vd->fname);
        AZ(close(fd));
        return 1;
    }
    void *map = mmap(nullptr, hdr.shm_size, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) {
        if (diag)
            vd->diag(vd->priv, "Cannot mmap %s: %s\n", vd->fname, strerror(errno));
        AZ(close(fd));
        return 1;
    }
    VSM_head *head = static_cast<VSM_head *>(map);
    unsigned tries = 0;
    while (vsm_load(&head->alloc_seq) == 0 && tries++ < VSM_INIT_TRIES)
        (void)usleep(50000);
    uint32_t seq = vsm_load(&head->alloc_seq);
    if (seq == 0) {
        if (diag)
            vd->diag(vd->priv, "File not initialized %s\n", vd->fname);
        AZ(munmap(map, hdr.shm_size));
        AZ(close(fd));
        return 1;
    }
    // Initialised files have their full length; touching a page beyond the
    // end of a shorter one would kill us with SIGBUS.
    AZ(fstat(fd, &st));
    if (st.st_size < static_cast<off_t>(hdr.shm_size) || head->shm_size != hdr.shm_size) {
        if (diag)
            vd->diag(vd->priv, "File %s is shorter than its header says\n", vd->fname);
        AZ(munmap(map, hdr.shm_size));
        AZ(close(fd));
        return 1;
    }
    vsm_load_fence();

    vd->vsm_fd = fd;
    vd->fstat = st;
    vd->VSM_head = head;
    vd->vsm_end = static_cast<const uint8_t *>(map) + hdr.shm_size;
    vd->alloc_seq = seq;
    if (vd->vsl != nullptr)
        vd->follower->opened(vd);
    return 0;
}

int VSM_Open(VSM_data *vd, int diag)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    VAS_ASSERT(vd->VSM_head == nullptr);
    if (vd->n_opt == nullptr || *vd->n_opt == '\0') {
        if (VSM_n_Arg(vd, VSM_DEFAULT_DIR) < 0)
            return 1;
    }
    return vsm_open(vd, diag);
}

void VSM_Close(VSM_data *vd)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    if (vd->VSM_head == nullptr)
        return;
    if (vd->vsl != nullptr)
        vd->follower->closing(vd);
    // The size checked at open, never the header's current word: a header
    // damaged since would have us unmap memory that is not ours.
    size_t size =
        static_cast<size_t>(vd->vsm_end - reinterpret_cast<const uint8_t *>(vd->VSM_head));
    AZ(munmap(vd->VSM_head, size));
    vd->VSM_head = nullptr;
    vd->vsm_end = nullptr;
    AZ(close(vd->vsm_fd));
    vd->vsm_fd = -1;
}

void VSM_Delete(VSM_data *vd)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    VSM_Close(vd);
    free(vd->n_opt);
    free(vd->fname);
    if (vd->vsl != nullptr)
        vd->follower->release(vd);
    vd->magic = 0;
    free(vd);
}

int VSM_ReOpen(VSM_data *vd, int diag)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    AN(vd->fname);
    struct stat st;
    if (stat(vd->fname, &st) != 0)
        return 0;
    if (vd->VSM_head != nullptr) {
        if (st.st_dev == vd->fstat.st_dev && st.st_ino == vd->fstat.st_ino)
            return 0;
        VSM_Close(vd);
    }
    for (unsigned i = 0; i < VSM_REOPEN_TRIES; i++)
        if (vsm_open(vd, 0) == 0)
            return 1;
    return vsm_open(vd, diag) == 0 ? 1 : -1;
}

/*--------------------------------------------------------------------
 * Chunk walks
 */

static const VSM_chunk *chunk_checked(VSM_data *vd, const uint8_t *p)
{
    // A chunk whose header would cross the end of the mapping is as broken as
    // one with the wrong magic.
    VAS_ASSERT(p + VSM_CHUNK_SIZE <= vd->vsm_end);
    const VSM_chunk *c = reinterpret_cast<const VSM_chunk *>(p);
    CHECK_OBJ(c, VSM_CHUNK_MAGIC);
    return c;
}

const VSM_chunk *VSM_iter0(VSM_data *vd)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    AN(vd->VSM_head);
    CHECK_OBJ(vd->VSM_head, VSM_HEAD_MAGIC);
    vd->alloc_seq = vsm_load(&vd->VSM_head->alloc_seq);
    while (vd->alloc_seq == 0) {
        (void)usleep(50000);
        vd->alloc_seq = vsm_load(&vd->VSM_head->alloc_seq);
    }
    vsm_load_fence();
    return chunk_checked(vd, reinterpret_cast<const uint8_t *>(&vd->VSM_head->head));
}

const VSM_chunk *VSM_itern(VSM_data *vd, const VSM_chunk *c)
{
    CHECK_OBJ_NOTNULL(vd, VSM_MAGIC);
    vsm_load_fence();
    if (vsm_load(&vd->VSM_head->alloc_seq) != vd->alloc_seq)
        return nullptr;
    uint32_t len = c->len;
    VAS_ASSERT(len >= VSM_CHUNK_SIZE);
    const uint8_t *n = reinterpret_cast<const uint8_t *>(c) + len;
    if (n >= vd->vsm_end)
        return nullptr;
    return chunk_checked(vd, n);
}

static bool field_eq(const char *field, size_t size, const char *want)
{
    return strncmp(field, want, size) == 0 && strlen(want) < size;
}

const VSM_chunk *VSM_find_alloc(VSM_data *vd, const char *class_, const char *type,
                                const char *ident)
{
    AN(class_);
    // A walk that the writer interrupted is taken again; the list changes
    // only while veld starts, so this settles at once.
    for (unsigned tries = 0;; tries++) {
        const VSM_chunk *found = nullptr;
        for (const VSM_chunk *c = VSM_iter0(vd); c != nullptr; c = VSM_itern(vd, c)) {
            if (!field_eq(c->class_, sizeof c->class_, class_))
                continue;
            if (type != nullptr && !field_eq(c->type, sizeof c->type, type))
                continue;
            if (ident != nullptr && !field_eq(c->ident, sizeof c->ident, ident))
                continue;
            found = c;
            break;
        }
        vsm_load_fence();
        if (vsm_load(&vd->VSM_head->alloc_seq) == vd->alloc_seq || tries >= VSM_WALK_TRIES)
            return found;
    }
}
