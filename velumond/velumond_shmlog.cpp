#include "velumond_shmlog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vas.h"
#include "vlog.h"
#include "vsl.h"
#include "vsm.h"
#include "vstat.h"
#include "vtim.h"
#include "velumond_usage.h"

pthread_t shmlog_thread;

// Tag of the usage records in veld's log.
constexpr unsigned SHMLOG_TAG_USAGE = 2;

std::string shmlog_path(double t)
{
    char day[VTIM_PRINT_SIZE];
    char path[UMON_PATH_MAX];
    VTIM_print(day, "%Y%m%d", t);
    int n = std::snprintf(path, sizeof path, "%s%s.log", UMON_STAT_PREFIX, day);
    VAS_ASSERT(n > 0 && (size_t)n < sizeof path);
    return path;
}

int shmlog_emit(void *priv, unsigned tag, unsigned id, unsigned len, unsigned spec, const char *ptr,
                uint64_t bitmap)
{
    (void)id;
    (void)spec;
    (void)bitmap;
    FILE *fp = static_cast<FILE *>(priv);
    AN(fp);
    if (tag == SHMLOG_TAG_USAGE) {
        std::fprintf(fp, "%.*s\n", (int)len, ptr);
        // Each record reaches the file at once: a record still in the stream
        // buffer when the process is killed would be lost for good, since a
        // restarted reader starts at the end of the log.
        std::fflush(fp);
        VSTAT_Add("records_filed_total");
        VSTAT_Publish();
    } else {
        std::fprintf(stdout, "%.*s\n", (int)len, ptr);
        std::fflush(stdout);
    }
    return 0;
}

int shmlog_cursor_read(const char *path, shmlog_cursor *c)
{
    AN(c);
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        VLOG("[WARN] Shared-memory log: no cursor %s (%d %s); reading new records only", path,
             errno, std::strerror(errno));
        return -1;
    }
    char buf[UMON_PATH_MAX + 160];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    buf[n > 0 ? n : 0] = '\0';
    uintmax_t dev, ino;
    unsigned alloc_seq, seq, off;
    long size;
    char daily[UMON_PATH_MAX];
    int used = -1;
    if (n <= 0 ||
        std::sscanf(buf, "%ju %ju %u %u %u %ld %4095s\n%n", &dev, &ino, &alloc_seq, &seq, &off,
                    &size, daily, &used) != 7 ||
        used != n || size < 0) {
        VLOG("[WARN] Shared-memory log: damaged cursor %s; reading new records only", path);
        return -1;
    }
    c->pos = vsl_pos{dev, ino, alloc_seq, seq, off};
    c->size = size;
    c->daily = daily;
    return 0;
}

int shmlog_cursor_write(const char *path, const shmlog_cursor &c)
{
    char text[UMON_PATH_MAX + 160];
    int len = std::snprintf(text, sizeof text, "%ju %ju %u %u %u %ld %s\n", (uintmax_t)c.pos.dev,
                            (uintmax_t)c.pos.ino, c.pos.alloc_seq, c.pos.seq, c.pos.off, c.size,
                            c.daily.c_str());
    VAS_ASSERT(len > 0 && (size_t)len < sizeof text);
    return umon_replace_file(path, text, (size_t)len);
}

long shmlog_lines_after(const char *path, long size)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < size) {
        close(fd);
        return -1;
    }
    long lines = 0;
    char buf[65536];
    off_t at = size;
    ssize_t n;
    while ((n = pread(fd, buf, sizeof buf, at)) > 0) {
        lines += std::count(buf, buf + n, '\n');
        at += n;
    }
    close(fd);
    return lines;
}

void shmlog_checkpoint(shmlog_ctx *c, const vsl_pos *at)
{
    AN(c);
    AN(c->fp);
    shmlog_cursor cur;
    if (at != nullptr)
        cur.pos = *at;
    else if (VSL_Position(c->vd, &cur.pos) != 0)
        return;
    // While passing over records filed before, the file already holds lines
    // beyond the place reached: no cursor would be true.
    if (c->skip > 0)
        return;
    cur.daily = c->daily;
    if (c->have_last && c->last.daily == cur.daily &&
        std::memcmp(&c->last.pos, &cur.pos, sizeof cur.pos) == 0)
        return;
    // The lines the cursor counts must be on disk before it is.
    if (std::fflush(c->fp) != 0 || fdatasync(fileno(c->fp)) != 0) {
        VLOG("[ERROR] fdatasync(2) for %s failed: %d %s", c->daily.c_str(), errno,
             std::strerror(errno));
        return;
    }
    struct stat st;
    AZ(fstat(fileno(c->fp), &st));
    cur.size = (long)st.st_size;
    if (shmlog_cursor_write(c->cursor_path, cur) != 0)
        return;
    c->last = cur;
    c->have_last = true;
    c->last_time = VTIM_mono();
}

void shmlog_resume(shmlog_ctx *c)
{
    shmlog_cursor cur;
    if (shmlog_cursor_read(c->cursor_path, &cur) != 0)
        return;
    vsl_resume how = VSL_Resume(c->vd, &cur.pos);
    switch (how) {
    case vsl_resume::same_cycle:
    case vsl_resume::after_wrap: {
        long k = shmlog_lines_after(cur.daily.c_str(), cur.size);
        if (k < 0) {
            VLOG("[WARN] Shared-memory log: %s is gone or shorter than the cursor says; its "
                 "records are filed again",
                 cur.daily.c_str());
            k = 0;
        }
        c->skip = (unsigned long)k;
        VLOG("[INFO] Shared-memory log: resuming where the last run left off%s (%ld records "
             "filed already)",
             how == vsl_resume::after_wrap ? ", across a wrap" : "", k);
        break;
    }
    case vsl_resume::wrapped_past:
        VLOG("[WARN] Shared-memory log: the writer wrapped past where the last run left off; "
             "records were lost, the current cycle is read from its start");
        break;
    case vsl_resume::new_file:
        VLOG("[INFO] Shared-memory log: veld started a new log since the last run; reading it "
             "from its start");
        break;
    case vsl_resume::invalid:
        VLOG("[WARN] Shared-memory log: cursor %s does not fit the log; reading new records only",
             c->cursor_path);
        break;
    }
}

int shmlog_emit_cursor(void *priv, unsigned tag, unsigned id, unsigned len, unsigned spec,
                       const char *ptr, uint64_t bitmap)
{
    shmlog_ctx *c = static_cast<shmlog_ctx *>(priv);
    AN(c);
    c->seen++;
    if (tag == SHMLOG_TAG_USAGE && c->skip > 0) {
        c->skip--;
        return 0;
    }
    vsl_pos now;
    if (VSL_Position(c->vd, &now) == 0) {
        // The cursor goes in front of this record: it is not filed yet.
        const uint32_t *rec = reinterpret_cast<const uint32_t *>(ptr) - 2;
        vsl_pos before = now;
        before.off = static_cast<uint32_t>(rec - c->vd->vsl->log_start);
        bool other_file =
            c->have_last && (c->last.pos.ino != now.ino || c->last.pos.dev != now.dev ||
                             c->last.pos.alloc_seq != now.alloc_seq);
        if (!c->have_last || other_file || VTIM_mono() - c->last_time >= SHMLOG_CURSOR_EVERY)
            shmlog_checkpoint(c, &before);
    }
    return shmlog_emit(c->fp, tag, id, len, spec, ptr, bitmap);
}

bool shmlog_dispatch(shmlog_ctx *c)
{
    AN(c);
    // Not blocking inside the reader, so that a stop request is seen at once.
    VSL_NonBlocking(c->vd, 1);
    unsigned idle = 0;
    for (;;) {
        unsigned long before = c->seen;
        (void)VSL_Dispatch(c->vd, shmlog_emit_cursor, c);
        if (umon_stop_requested()) {
            if (VSM_ReOpen(c->vd, 0) == 1)
                continue;
            return true;
        }
        if (c->seen != before)
            idle = 0;
        if (idle >= VSL_IDLE_USEC) {
            if (VSM_ReOpen(c->vd, 0) == 1) {
                idle = 0;
                continue;
            }
            return false;
        }
        (void)usleep(VSL_POLL_USEC);
        idle += VSL_POLL_USEC;
    }
}

void *shmlog_start(void *priv)
{
    (void)priv;
    VSM_data *vd = VSM_New();
    AN(vd);
    VSL_Setup(vd);
    if (VSL_Open(vd, 1) != 0)
        std::exit(umon_stop_requested() ? 0 : 1);
    shmlog_ctx ctx;
    ctx.vd = vd;
    shmlog_resume(&ctx);

    for (;;) {
        bool drained = false;
        std::string path = shmlog_path(VTIM_real());
        FILE *fp = umon_fopen_daily(path.c_str(), "a+");
        if (fp == nullptr) {
            if (errno == EINVAL)
                VLOG("[ERROR] %s is not a regular file", path.c_str());
            else
                VLOG("[ERROR] fopen(3) failed: %d %s", errno, std::strerror(errno));
            umon_nap(SHMLOG_OPEN_RETRY);
            continue;
        }
        if (flock(fileno(fp), LOCK_EX) != 0) {
            VLOG("[ERROR] flock(2) for LOCK_EX failed: %d %s", errno, std::strerror(errno));
        } else {
            // Nobody else writes the file while we hold the lock: an
            // unfinished line at its end was left by a killed writer.
            (void)umon_mend_daily(fp, path.c_str());
            ctx.fp = fp;
            ctx.daily = path;
            shmlog_checkpoint(&ctx, nullptr);
            drained = shmlog_dispatch(&ctx);
            shmlog_checkpoint(&ctx, nullptr);
            ctx.fp = nullptr;
            if (flock(fileno(fp), LOCK_UN) != 0)
                VLOG("[ERROR] flock(2) for LOCK_UN failed: %d %s", errno, std::strerror(errno));
        }
        std::fclose(fp);
        if (drained) {
            umon_shmlog_drained();
            for (;;)
                pause();
        }
        umon_nap(SHMLOG_ROUND_PAUSE);
    }
}
