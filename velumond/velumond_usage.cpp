#include "velumond_usage.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <netinet/ether.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

#include "report_client.h"
#include "vas.h"
#include "vlog.h"
#include "vsb.h"
#include "vtim.h"
#include "velumond_geo.h"
#include "velumond_split.h"

namespace
{

// Identity of an entry: MAC in the low 48 bits of a, src and dst in b.
struct res_key {
    uint64_t a;
    uint64_t b;
    bool operator==(const res_key &o) const { return a == o.a && b == o.b; }
};
struct res_key_hash {
    size_t operator()(const res_key &k) const
    {
        uint64_t h = k.a * 0x9E3779B97F4A7C15ULL;
        h ^= k.b + 0x7F4A7C15ULL + (h << 6) + (h >> 2);
        return (size_t)(h ^ (h >> 31));
    }
};

res_key make_key(const uint8_t *mac, in_addr_t src, in_addr_t dst)
{
    uint64_t a = 0;
    for (int i = 0; i < 6; i++)
        a = (a << 8) | mac[i];
    return res_key{a, ((uint64_t)src << 32) | dst};
}

// State of the main thread: the sums and the newest record time accepted.
struct umon_state {
    int64_t watermark = 0;
    std::vector<res> list;                                 // first-appearance order
    std::unordered_map<res_key, size_t, res_key_hash> idx; // key -> position in list
};
umon_state umon;

// Dotted address, 255.255.255.255 refused (it marks U entries).
bool umon_addr(const char *text, in_addr_t *out)
{
    in_addr_t a = inet_addr(text);
    if (a == INADDR_NONE)
        return false;
    *out = a;
    return true;
}

// Counts come from file text, so two huge ones may exceed 64 bits: the sum
// wraps rather than overflowing a signed integer.
void sum_add(int64_t *sum, int64_t v)
{
    *sum = (int64_t)((uint64_t)*sum + (uint64_t)v);
}

void umon_add(const uint8_t *mac, in_addr_t src, in_addr_t dst, int64_t li, int64_t lo, int64_t ri,
              int64_t ro)
{
    res_key k = make_key(mac, src, dst);
    auto it = umon.idx.find(k);
    res *r;
    if (it == umon.idx.end()) {
        res n{};
        std::memcpy(n.mac, mac, sizeof n.mac);
        n.src = src;
        n.dst = dst;
        umon.list.push_back(n);
        umon.idx.emplace(k, umon.list.size() - 1);
        r = &umon.list.back();
    } else {
        r = &umon.list[it->second];
    }
    sum_add(&r->local_in, li);
    sum_add(&r->local_out, lo);
    sum_add(&r->remote_in, ri);
    sum_add(&r->remote_out, ro);
}

bool umon_can_read(const std::string &path)
{
    // Non-blocking: a FIFO in the file's place must not hold us here.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

} // namespace

int MNE_strtol(long *out, const char *text)
{
    char *end;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if ((errno == ERANGE && (v == LONG_MAX || v == LONG_MIN)) || (errno != 0 && v == 0)) {
        int err = errno;
        VLOG_At(LOG_WARNING, "%s: strtol failed, %d %s", "MNE_strtol", err, std::strerror(err));
        return -1;
    }
    if (end == text) {
        VLOG_At(LOG_WARNING, "No digits were found");
        return -1;
    }
    *out = v;
    return 0;
}

int parseLine(char *line)
{
    char *p[UMON_MAXPIECES];
    AN(line);
    int n = umon_split(line, ";", p, UMON_MAXPIECES);
    if (n <= 8) {
        VLOG("[WARN] Wrong format line: %s", line);
        return -1;
    }
    int64_t t = (int64_t)VTIM_scan(p[0]);
    if (t == 0 || (double)t > VTIM_real() + UMON_FUTURE_SLACK) {
        VLOG("[WARN] Wrong format line for time: %s", p[0]);
        return -1;
    }
    if (t < umon.watermark)
        return -1;
    umon.watermark = t;

    in_addr_t src, dst;
    if (!umon_addr(p[3], &src)) {
        VLOG("[WARN] Wrong format line for src IP: %s", p[3]);
        return -1;
    }

    const char *intext, *outtext;
    bool local;
    switch (p[6][0]) {
    case 'K':
        if (n < 10) {
            VLOG("[WARN] Wrong format line for K: %s", line);
            return -1;
        }
        if (!umon_addr(p[7], &dst)) {
            VLOG("[WARN] Wrong format line for dst IP: %s", p[7]);
            return -1;
        }
        local = GEO_islocal_addr(ntohl(dst)) == 1;
        intext = p[8];
        outtext = p[9];
        break;
    case 'U':
        local = true;
        dst = INADDR_NONE;
        if (p[7][0] == '-') {
            // "-" stands for the address; the counts follow it
            if (n < 10) {
                VLOG("[WARN] Wrong format line for U: %s", line);
                return -1;
            }
            intext = p[8];
            outtext = p[9];
        } else {
            intext = p[7];
            outtext = p[8];
        }
        break;
    default:
        VLOG_At(LOG_WARNING, "Unexpected ltype: %s", p[6]);
        return -1;
    }

    long in, out;
    if (MNE_strtol(&in, intext) != 0) {
        VLOG_At(LOG_WARNING, "Wrong format for local ibytes: %s", intext);
        return -1;
    }
    if (MNE_strtol(&out, outtext) != 0) {
        VLOG_At(LOG_WARNING, "Wrong format for local obytes: %s", outtext);
        return -1;
    }

    struct ether_addr mac;
    if (ether_aton_r(p[5], &mac) == nullptr) {
        VLOG("[WARN] Wrong format line for MAC: %s", p[5]);
        return -1;
    }

    if (local)
        umon_add(mac.ether_addr_octet, src, dst, in, out, 0, 0);
    else
        umon_add(mac.ether_addr_octet, src, dst, 0, 0, in, out);
    return 0;
}

const std::vector<res> &umon_list()
{
    return umon.list;
}

void umon_list_clear()
{
    umon.list.clear();
    umon.idx.clear();
}

int64_t umon_watermark()
{
    return umon.watermark;
}
void umon_set_watermark(int64_t t)
{
    umon.watermark = t;
}

void UMON_Reset()
{
    umon_list_clear();
    umon.watermark = 0;
}

int umon_format_res(const res &r, char *buf, size_t size)
{
    char mac[24], src[INET_ADDRSTRLEN], dst[INET_ADDRSTRLEN];
    struct ether_addr ea;
    std::memcpy(ea.ether_addr_octet, r.mac, sizeof r.mac);
    AN(ether_ntoa_r(&ea, mac));
    AN(inet_ntop(AF_INET, &r.src, src, sizeof src));
    AN(inet_ntop(AF_INET, &r.dst, dst, sizeof dst));
    return std::snprintf(buf, size, "%s;%ld;%ld;%ld;%ld;%s;%s", mac, (long)r.local_in,
                         (long)r.local_out, (long)r.remote_in, (long)r.remote_out, src, dst);
}

void umon_fill_body(struct vsb *body, void *priv)
{
    (void)priv;
    char line[UMON_TEXT_MAX];
    for (const res &r : umon.list) {
        int len = umon_format_res(r, line, sizeof line);
        VAS_ASSERT(len >= 0 && (size_t)len < sizeof line);
        VSB_format(body, "%s[]=%.*s&", "result", len, line);
    }
}

int reportResult(bool alt, void (*sent)(void *), void *sent_priv)
{
    static const rc_caller caller = {rc_voice::LOG_UNTAGGED, nullptr};
    return RC_Post(&caller, RC_Endpoint(alt), UMON_REPORT_PATH, umon_fill_body, nullptr, false,
                   sent, sent_priv);
}

void buildYmd(char *buf, size_t size)
{
    VAS_ASSERT(size >= VTIM_PRINT_SIZE);
    VTIM_print(buf, "%Y%m%d", VTIM_real());
}

std::string buildPath(const char *day)
{
    std::string path = std::string(UMON_STAT_PREFIX) + day + ".log";
    VAS_ASSERT(path.size() < UMON_PATH_MAX);
    return path;
}

std::string umon_daily_path(double t)
{
    char day[VTIM_PRINT_SIZE];
    VTIM_print(day, "%Y%m%d", t);
    return buildPath(day);
}

int64_t umon_read_lastcommitted(const char *path, double now)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        VLOG("[ERROR] Failed to open %s: %d %s", path, errno, std::strerror(errno));
        return 0;
    }
    char buf[UMON_TEXT_MAX + 1];
    ssize_t n = read(fd, buf, UMON_TEXT_MAX);
    int err = errno;
    close(fd);
    if (n <= 1) {
        // A single byte cannot be a time this daemon wrote; start from 0.
        if (n >= 0)
            err = n == 0 ? 0 : EINVAL;
        VLOG("[ERROR] Failed to read: %d %s", err, std::strerror(err));
        return 0;
    }
    buf[n] = '\0';
    long v;
    if (MNE_strtol(&v, buf) != 0)
        return 0;
    if ((double)v > now)
        VLOG("[ERROR] timefile points to the future.");
    return v;
}

// Written beside the file, synced and renamed over it, so that a crash
// leaves the old content or the new one, never an empty or partial file.
int umon_replace_file(const char *path, const char *text, size_t len)
{
    std::string tmp = std::string(path) + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) {
        VLOG("[ERROR] Failed to open %s: %d %s", path, errno, std::strerror(errno));
        return -1;
    }
    ssize_t w = write(fd, text, len);
    if (w != (ssize_t)len) {
        int err = w < 0 ? errno : ENOSPC;
        VLOG("[ERROR] Failed to write %s: %d %s", path, err, std::strerror(err));
        close(fd);
        unlink(tmp.c_str());
        return -1;
    }
    if (fsync(fd) != 0) {
        int err = errno;
        VLOG("[ERROR] Failed to write %s: %d %s", path, err, std::strerror(err));
        close(fd);
        unlink(tmp.c_str());
        return -1;
    }
    AZ(close(fd));
    if (rename(tmp.c_str(), path) != 0) {
        int err = errno;
        VLOG("[ERROR] Failed to rename %s: %d %s", path, err, std::strerror(err));
        unlink(tmp.c_str());
        return -1;
    }
    // Make the rename itself durable.
    std::string dir(path);
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : slash == 0 ? "/" : dir.substr(0, slash);
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dfd >= 0) {
        (void)fsync(dfd);
        close(dfd);
    }
    return 0;
}

namespace
{

std::string base_name(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int delivered_ignored(const char *path, const char *why)
{
    VLOG("[WARN] Delivered position %s ignored: %s", path, why);
    return -1;
}

} // namespace

int umon_write_lastcommitted(const char *path, int64_t t)
{
    char text[32];
    int len = std::snprintf(text, sizeof text, "%jd", (intmax_t)t);
    return umon_replace_file(path, text, (size_t)len);
}

int umon_read_delivered(const char *path, const std::string &daily, umon_resume *r)
{
    AN(r);
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        char why[128];
        std::snprintf(why, sizeof why, "cannot open it (%d %s)", errno, std::strerror(errno));
        return delivered_ignored(path, why);
    }
    char buf[UMON_PATH_MAX + 128];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return delivered_ignored(path, "empty or unreadable");
    buf[n] = '\0';
    char name[UMON_PATH_MAX];
    long off;
    intmax_t wm;
    uintmax_t ino;
    int used = -1;
    if (std::sscanf(buf, "%4095s %ld %jd %ju\n%n", name, &off, &wm, &ino, &used) != 4 ||
        used != n || off < 0)
        return delivered_ignored(path, "damaged");
    if (base_name(daily) != name)
        return delivered_ignored(path, "it is for another day's file");
    struct stat st;
    if (stat(daily.c_str(), &st) != 0 || (uintmax_t)st.st_ino != ino)
        return delivered_ignored(path, "its daily file was replaced");
    if (off > st.st_size)
        return delivered_ignored(path, "it points past the end of its file");
    if (off > 0) {
        int dfd = open(daily.c_str(), O_RDONLY | O_NONBLOCK);
        char c = 0;
        bool boundary = dfd >= 0 && pread(dfd, &c, 1, off - 1) == 1 && c == '\n';
        if (dfd >= 0)
            close(dfd);
        if (!boundary)
            return delivered_ignored(path, "it is not at the start of a line");
    }
    r->offset = off;
    r->watermark = (int64_t)wm;
    return 0;
}

int umon_write_delivered(const char *pos_path, const char *lc_path, const std::string &daily,
                         FILE *fp, long offset, int64_t watermark)
{
    AN(fp);
    struct stat st;
    AZ(fstat(fileno(fp), &st));
    char text[UMON_PATH_MAX + 128];
    int len = std::snprintf(text, sizeof text, "%s %ld %jd %ju\n", base_name(daily).c_str(), offset,
                            (intmax_t)watermark, (uintmax_t)st.st_ino);
    VAS_ASSERT(len > 0 && (size_t)len < sizeof text);
    // The position first: after a crash between the two, it is the newer one
    // and carries its own watermark.
    if (umon_replace_file(pos_path, text, (size_t)len) != 0)
        return -1;
    return umon_write_lastcommitted(lc_path, watermark);
}

long umon_mend_daily(FILE *fp, const char *path)
{
    int fd = fileno(fp);
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size == 0)
        return 0;
    // Find the end of the last complete line.
    char buf[4096];
    off_t pos = st.st_size, keep = 0;
    while (pos > 0 && keep == 0) {
        size_t n = (size_t)std::min<off_t>(pos, (off_t)sizeof buf);
        if (pread(fd, buf, n, pos - (off_t)n) != (ssize_t)n)
            return 0;
        for (size_t i = n; i-- > 0;) {
            if (buf[i] == '\n') {
                keep = pos - (off_t)n + (off_t)i + 1;
                break;
            }
        }
        pos -= (off_t)n;
    }
    if (keep == st.st_size)
        return 0;
    if (ftruncate(fd, keep) != 0) {
        VLOG("[ERROR] Failed to truncate %s: %d %s", path, errno, std::strerror(errno));
        return -1;
    }
    VLOG("[WARN] %s: dropped an unfinished last line of %jd bytes", path,
         (intmax_t)(st.st_size - keep));
    return (long)(st.st_size - keep);
}

void readLastCommitted()
{
    umon.watermark = umon_read_lastcommitted(UMON_LASTCOMMITTED_PATH, VTIM_real());
}

void writeLastCommitted()
{
    (void)umon_write_lastcommitted(UMON_LASTCOMMITTED_PATH, umon.watermark);
}

FILE *umon_fopen_daily(const char *path, const char *mode)
{
    int flags;
    if (std::strcmp(mode, "r") == 0)
        flags = O_RDONLY;
    else if (std::strcmp(mode, "a+") == 0)
        flags = O_RDWR | O_CREAT | O_APPEND;
    else
        VAS_ASSERT_TEXT(0, "mode is \"r\" or \"a+\"");
    int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    struct stat st;
    AZ(fstat(fd, &st));
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return nullptr;
    }
    AZ(fcntl(fd, F_SETFL, flags & O_APPEND));
    FILE *fp = fdopen(fd, mode);
    if (fp == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
    }
    return fp;
}

umon_tail umon_read_lines(FILE *fp)
{
    char *line = nullptr;
    size_t cap = 0;
    umon_tail result;
    for (;;) {
        long pos = std::ftell(fp);
        VAS_ASSERT(pos >= 0);
        ssize_t n = getline(&line, &cap, fp);
        if (n <= 0) {
            result = umon_tail::end_of_file;
        } else if (line[n - 1] != '\n') {
            result = umon_tail::partial_line;
        } else {
            (void)parseLine(line);
            continue;
        }
        // Back to where the unfinished part starts; this also clears EOF.
        AZ(std::fseek(fp, pos, SEEK_SET));
        break;
    }
    std::free(line);
    return result;
}

bool umon_day_over(FILE *fp, const std::string &next)
{
    if (!umon_can_read(next))
        return false;
    (void)umon_read_lines(fp);
    return true;
}

namespace
{

// The lines a report covers, stored as delivered the moment its request has
// gone out in full: the master holds it from then on whether or not its
// answer ever arrives, so a kill while that answer is awaited must not send
// the same sums again.
struct umon_delivery {
    const std::string &daily;
    FILE *fp;
    long offset;
    int64_t watermark;
    bool stored;
};

void umon_delivered(void *priv)
{
    auto *d = static_cast<umon_delivery *>(priv);
    (void)umon_write_delivered(UMON_DELIVERED_PATH, UMON_LASTCOMMITTED_PATH, d->daily, d->fp,
                               d->offset, d->watermark);
    d->stored = true;
}

} // namespace

namespace
{
struct umon_stop_state {
    std::mutex mtx;
    std::condition_variable cv;
    bool requested = false;
    bool drained = false;
};
// Never destroyed: a thread that calls exit() must not wait for the
// destructor of a condition variable another thread is waiting on.
umon_stop_state &umon_stop = *new umon_stop_state;
} // namespace

void umon_stop_request()
{
    std::lock_guard<std::mutex> lk(umon_stop.mtx);
    umon_stop.requested = true;
    umon_stop.cv.notify_all();
}

bool umon_stop_requested()
{
    std::lock_guard<std::mutex> lk(umon_stop.mtx);
    return umon_stop.requested;
}

void umon_nap(unsigned seconds)
{
    std::unique_lock<std::mutex> lk(umon_stop.mtx);
    umon_stop.cv.wait_for(lk, std::chrono::seconds(seconds), [] { return umon_stop.requested; });
}

void umon_shmlog_drained()
{
    std::lock_guard<std::mutex> lk(umon_stop.mtx);
    umon_stop.drained = true;
    umon_stop.cv.notify_all();
}

bool umon_wait_drained()
{
    std::unique_lock<std::mutex> lk(umon_stop.mtx);
    if (!umon_stop.requested)
        return false;
    umon_stop.cv.wait(lk, [] { return umon_stop.drained; });
    return true;
}

bool umon_main_loop(bool alt)
{
    // Only the file read first after a start may resume after its
    // delivered lines; any later file is new to this process.
    bool first = true;
    for (;;) {
        char day[VTIM_PRINT_SIZE];
        buildYmd(day, sizeof day);
        std::string path = buildPath(day);

        if (!umon_can_read(path)) {
            VLOG("[WARN] no %s found.", path.c_str());
            // Stopping, with every record filed: nothing can be due.
            if (umon_wait_drained() && !umon_can_read(path))
                return true;
            umon_nap(UMON_MISSING_SLEEP);
            continue;
        }
        VLOG("[INFO] Trying to open %s.", path.c_str());
        FILE *fp = umon_fopen_daily(path.c_str(), "r");
        if (fp == nullptr) {
            if (errno == EINVAL)
                VLOG("[ERROR] %s is not a regular file", path.c_str());
            VLOG("[WARN] fopen(3) for %s failed.", path.c_str());
            if (umon_stop_requested())
                return umon.list.empty();
            umon_nap(UMON_MISSING_SLEEP);
            continue;
        }
        if (first) {
            first = false;
            umon_resume r;
            if (umon_read_delivered(UMON_DELIVERED_PATH, path, &r) == 0) {
                AZ(std::fseek(fp, r.offset, SEEK_SET));
                if (r.watermark > umon.watermark)
                    umon.watermark = r.watermark;
                VLOG("[INFO] Resuming %s after its delivered lines (offset %ld).", path.c_str(),
                     r.offset);
            }
        }
        for (;;) {
            // After a stop request, once everything is filed: one last pass.
            bool last = umon_wait_drained();
            if (umon_read_lines(fp) == umon_tail::end_of_file && !umon.list.empty()) {
                // umon_read_lines left fp at the end of the last whole line.
                long pos = std::ftell(fp);
                VAS_ASSERT(pos >= 0);
                umon_delivery d{path, fp, pos, umon.watermark, false};
                if (reportResult(alt, umon_delivered, &d) == 0) {
                    umon_list_clear();
                    if (!d.stored)
                        umon_delivered(&d);
                }
            }
            char today[VTIM_PRINT_SIZE];
            buildYmd(today, sizeof today);
            if (std::strcmp(today, day) != 0 && umon_day_over(fp, buildPath(today)))
                break;
            if (last) {
                std::fclose(fp);
                return umon.list.empty();
            }
            umon_nap(UMON_TAIL_SLEEP);
        }
        std::fclose(fp);
    }
}
