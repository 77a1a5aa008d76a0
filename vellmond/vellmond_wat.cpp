#include "vellmond_wat.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

#include "vas.h"
#include "vellmond_queue.h"
#include "vlog.h"

namespace
{

struct wat_state {
    std::vector<wat_watch *> list; // insertion order
    // Set while WAT_read reads: a burst of lines larger than the queue's
    // bound is posted in parts instead of losing its beginning. Cleared when
    // such a post fails, so that a master out of reach costs one attempt.
    bool posting = false;
};

wat_state wat;

constexpr std::string_view error_tags[] = {"[ERROR]", "[CRIT]", "[FATAL]"};

bool is_trailing_space(char c)
{
    return c == '\n' || c == '\r' || c == ' ' || c == '\t';
}

// Open path for reading without blocking on a FIFO or a device: only a
// regular file is followed. nullptr with errno set otherwise.
FILE *open_log(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st;
    int e = 0;
    if (fstat(fd, &st) != 0)
        e = errno;
    else if (!S_ISREG(st.st_mode))
        e = EINVAL;
    if (e != 0) {
        close(fd);
        errno = e;
        return nullptr;
    }
    FILE *fp = fdopen(fd, "r");
    if (fp == nullptr) {
        int e = errno;
        close(fd);
        errno = e;
        return nullptr;
    }
    // Unbuffered: a buffer would keep bytes of a file truncated since, and
    // reads go in big chunks anyway.
    AZ(setvbuf(fp, nullptr, _IONBF, 0));
    return fp;
}

// Everything the open stream holds from the current position on goes to
// the line splitter. A file cut shorter than what was read (truncated in
// place) is read again from its start.
void drain(wat_watch *wl)
{
    struct stat st;
    off_t pos = ftello(wl->fp);
    if (fstat(fileno(wl->fp), &st) == 0 && pos >= 0 && st.st_size < pos) {
        VLOG("[INFO] %s is truncated.", wl->path.c_str());
        WAT_flush(wl);
        VAS_ASSERT_TEXT(fseeko(wl->fp, 0, SEEK_SET) == 0, "(fseek(wl->fp, 0L, 0)) == 0");
    }
    // End of data is not the end for good: the writer goes on appending.
    clearerr(wl->fp);
    static char buf[WAT_CHUNK];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, wl->fp)) > 0)
        WAT_feed(wl, buf, n);
    if (ferror(wl->fp))
        VLOG("[WARN] fread(3) for %s failed: %d %s", wl->path.c_str(), errno, std::strerror(errno));
}

} // namespace

bool WAT_errorFilter(std::string_view line)
{
    for (std::string_view tag : error_tags)
        if (line.find(tag) != std::string_view::npos)
            return true;
    return false;
}

bool WAT_allFilter(std::string_view line)
{
    (void)line;
    return true;
}

wat_watch *WAT_add(int fd, const char *path, wat_filter_f filter)
{
    wat_watch *wl = new (std::nothrow) wat_watch();
    VAS_ASSERT_TEXT(wl != nullptr, "(wl) != 0");
    AN(path);
    wl->magic = WAT_MAGIC;
    wl->fd = fd;
    wl->wd = -1;
    wl->filter = filter;
    wl->path = path;
    wl->line_max = WAT_LINE_MAX;
    struct stat st;
    if (stat(path, &st) == 0 && S_ISREG(st.st_mode)) {
        wl->start_known = true;
        wl->start_dev = st.st_dev;
        wl->start_ino = st.st_ino;
    }
    (void)WAT_check(wl);
    wat.list.push_back(wl);
    return wl;
}

namespace
{
// WAT_check without the post; *rotated tells that a replaced file was read
// to its end and closed (and no post of its lines failed meanwhile).
bool wat_check(wat_watch *wl, bool *rotated)
{
    CHECK_OBJ_NOTNULL(wl, WAT_MAGIC);
    const char *path = wl->path.c_str();

    if (wl->fp != nullptr) {
        struct stat st;
        if (stat(path, &st) != 0) {
            VLOG("[WARN] new stat(2) for %s failed: %d %s", path, errno, std::strerror(errno));
            return false;
        }
        if (st.st_dev == wl->st.st_dev && st.st_ino == wl->st.st_ino)
            return false;
        VLOG("[INFO] %s is changed.", path);
        // What was appended to the old file since the last read is still
        // ours to report, and so is an unfinished last line.
        wat.posting = true;
        drain(wl);
        WAT_flush(wl);
        *rotated = wat.posting; // false: a post failed meanwhile, one attempt is enough
        wat.posting = false;
        std::fclose(wl->fp);
        wl->fp = nullptr;
        if (inotify_rm_watch(wl->fd, wl->wd) != 0)
            VLOG("[ERROR] inotify_rm_watch(2) failed: %d %s", errno, std::strerror(errno));
        wl->wd = -1;
    }

    int wd = inotify_add_watch(wl->fd, path, WAT_MASK);
    if (wd < 0) {
        if (errno != ENOENT)
            VLOG("[WARN] inotify_add_watch(2) failed: %d %s", errno, std::strerror(errno));
        return false;
    }
    // A watch kept from a file that could not be opened, while the path has
    // moved on to another file.
    if (wl->wd >= 0 && wl->wd != wd)
        (void)inotify_rm_watch(wl->fd, wl->wd);
    wl->wd = wd;
    VAS_ASSERT_TEXT(wl->wd >= 0, "wl->wd >= 0");

    wl->fp = open_log(path);
    if (wl->fp == nullptr) {
        VLOG("[WARN] fopen(3) for %s failed.", path);
        return false;
    }
    if (fstat(fileno(wl->fp), &wl->st) != 0)
        VLOG("[WARN] stat(2) for %s failed: %d %s", path, errno, std::strerror(errno));
    wl->pending.clear();
    // The file of start-up holds what was logged before this run: follow it
    // from its end. Any other file came after start-up, all of it is new.
    if (wl->start_known && wl->st.st_dev == wl->start_dev && wl->st.st_ino == wl->start_ino)
        VAS_ASSERT_TEXT(std::fseek(wl->fp, 0L, SEEK_END) == 0, "(fseek(wl->fp, 0L, 2)) == 0");
    // Only its first opening: a file that takes its place later, even one
    // that got the same inode number, is new.
    wl->start_known = false;
    wl->offset = ftello(wl->fp);
    return true;
}
} // namespace

bool WAT_check(wat_watch *wl)
{
    bool rotated = false;
    if (wat_check(wl, &rotated))
        return true; // the caller reads the new file and posts both
    // The old file's last lines must not wait for some other file to have
    // a line: on a quiet node that could be never.
    if (rotated && !RQ_empty())
        (void)RQ_send();
    return false;
}

void WAT_read(wat_watch *wl)
{
    VAS_ASSERT_TEXT(wl != nullptr, "(wl) != 0");
    CHECK_OBJ(wl, WAT_MAGIC);
    if (wl->fp == nullptr)
        return;
    wat.posting = true;
    drain(wl);
    bool failed = !wat.posting;
    wat.posting = false;
    if (!failed)
        (void)RQ_send();
}

void WAT_parseLine(wat_watch *wl, std::string_view line)
{
    CHECK_OBJ_NOTNULL(wl, WAT_MAGIC);
    if (!wl->filter(line))
        return;
    // A NUL cannot travel in the report's text; the rest of the line can.
    std::string msg;
    if (line.find('\0') != std::string_view::npos) {
        msg.reserve(line.size());
        for (char c : line)
            if (c != '\0')
                msg.push_back(c);
        line = msg;
    }
    while (!line.empty() && is_trailing_space(line.back()))
        line.remove_suffix(1);
    if (wat.posting && RQ_full(line.size()) && RQ_send() != 0)
        wat.posting = false;
    RQ_push(line);
}

void WAT_feed(wat_watch *wl, const char *data, size_t len)
{
    CHECK_OBJ_NOTNULL(wl, WAT_MAGIC);
    VAS_ASSERT(wl->line_max > 0 && wl->pending.size() <= wl->line_max);
    size_t i = 0;
    while (i < len) {
        const char *start = data + i;
        const char *nl = static_cast<const char *>(std::memchr(start, '\n', len - i));
        size_t take = nl != nullptr ? static_cast<size_t>(nl - start) : len - i;
        size_t room = wl->line_max - wl->pending.size();
        if (take > room) {
            // Too long without a line end: what fits is one line.
            wl->pending.append(start, room);
            WAT_parseLine(wl, wl->pending);
            wl->pending.clear();
            i += room;
            continue;
        }
        if (nl == nullptr) {
            wl->pending.append(start, take);
            i += take;
            continue;
        }
        if (wl->pending.empty()) {
            WAT_parseLine(wl, std::string_view(start, take));
        } else {
            wl->pending.append(start, take);
            WAT_parseLine(wl, wl->pending);
            wl->pending.clear();
        }
        i += take + 1;
    }
}

void WAT_flush(wat_watch *wl)
{
    CHECK_OBJ_NOTNULL(wl, WAT_MAGIC);
    if (wl->pending.empty())
        return;
    WAT_parseLine(wl, wl->pending);
    wl->pending.clear();
}

size_t WAT_count()
{
    return wat.list.size();
}

wat_watch *WAT_at(size_t i)
{
    VAS_ASSERT(i < wat.list.size());
    return wat.list[i];
}

wat_watch *WAT_find(int wd)
{
    if (wd < 0)
        return nullptr;
    for (wat_watch *wl : wat.list)
        if (wl->wd == wd)
            return wl;
    return nullptr;
}

void WAT_dispatch(const char *buf, size_t len)
{
    size_t i = 0;
    while (i + sizeof(struct inotify_event) <= len) {
        struct inotify_event ev;
        std::memcpy(&ev, buf + i, sizeof ev);
        i += sizeof ev + ev.len;
        if (ev.mask & IN_Q_OVERFLOW) {
            // Events were lost: look at every file.
            for (wat_watch *wl : wat.list) {
                (void)WAT_check(wl);
                WAT_read(wl);
            }
            continue;
        }
        wat_watch *wl = WAT_find(ev.wd);
        if (wl == nullptr)
            continue;
        (void)WAT_check(wl);
        WAT_read(wl);
    }
}

void WAT_timeout()
{
    for (wat_watch *wl : wat.list)
        // A file that appeared or was replaced holds lines no event told of.
        if (WAT_check(wl))
            WAT_read(wl);
}

wat_watch *WAT_detached(wat_filter_f filter)
{
    wat_watch *wl = new (std::nothrow) wat_watch();
    VAS_ASSERT_TEXT(wl != nullptr, "(wl) != 0");
    wl->magic = WAT_MAGIC;
    wl->fd = -1;
    wl->wd = -1;
    wl->filter = filter;
    wl->line_max = WAT_LINE_MAX;
    return wl;
}

void WAT_free(wat_watch *wl)
{
    CHECK_OBJ_NOTNULL(wl, WAT_MAGIC);
    if (wl->fp != nullptr)
        std::fclose(wl->fp);
    wl->magic = 0;
    delete wl;
}

void WAT_reset()
{
    for (wat_watch *wl : wat.list) {
        if (wl->wd >= 0 && wl->fd >= 0)
            (void)inotify_rm_watch(wl->fd, wl->wd);
        WAT_free(wl);
    }
    wat.list.clear();
}
