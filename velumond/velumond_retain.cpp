#include "velumond_retain.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

#include "vas.h"
#include "velumond_usage.h"
#include "vlog.h"

namespace
{

constexpr std::string_view DAILY_PREFIX = "stat_";
constexpr std::string_view DAILY_SUFFIX = ".log";

int ymd_of(double t)
{
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    if (gmtime_r(&tt, &tm) == nullptr)
        return -1;
    return (tm.tm_year + 1900) * 10000 + (tm.tm_mon + 1) * 100 + tm.tm_mday;
}

// The first word of the delivered position: the base name of a daily file.
int delivered_day(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    char buf[512];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    std::string_view text(buf, static_cast<size_t>(n));
    return retain_file_day(text.substr(0, text.find(' ')));
}

struct retain_state {
    std::mutex mu;
    std::set<std::string> warned; // files said to be kept past the period
    int days = RETAIN_DEFAULT_DAYS;
} rs;

void *retain_thread(void *)
{
    for (;;) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        (void)retain_pass(RETAIN_DIR, UMON_DELIVERED_PATH, static_cast<double>(ts.tv_sec), rs.days);
        sleep(RETAIN_PERIOD);
    }
    return nullptr;
}

} // namespace

int retain_parse_days(const char *text, int *days)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return -1;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < 0 || v > RETAIN_MAX_DAYS)
        return -1;
    *days = static_cast<int>(v);
    return 0;
}

int retain_file_day(std::string_view name)
{
    if (name.size() != DAILY_PREFIX.size() + 8 + DAILY_SUFFIX.size() ||
        name.substr(0, DAILY_PREFIX.size()) != DAILY_PREFIX ||
        name.substr(name.size() - DAILY_SUFFIX.size()) != DAILY_SUFFIX)
        return -1;
    int v = 0;
    for (char c : name.substr(DAILY_PREFIX.size(), 8)) {
        if (c < '0' || c > '9')
            return -1;
        v = v * 10 + (c - '0');
    }
    int month = v / 100 % 100, day = v % 100;
    if (month < 1 || month > 12 || day < 1 || day > 31)
        return -1;
    return v;
}

std::vector<std::string> retain_select(const std::vector<std::string> &names, int delivered,
                                       int today, int days)
{
    std::vector<std::string> out;
    if (days <= 0 || delivered < 0 || today < 0)
        return out;
    // The first day kept, as YYYYMMDD: days - 1 whole days before today.
    struct tm tm = {};
    tm.tm_year = today / 10000 - 1900;
    tm.tm_mon = today / 100 % 100 - 1;
    tm.tm_mday = today % 100 - (days - 1);
    tm.tm_hour = 12;
    time_t first = timegm(&tm);
    if (first == static_cast<time_t>(-1))
        return out;
    int first_kept = ymd_of(static_cast<double>(first));
    for (const auto &n : names) {
        int day = retain_file_day(n);
        if (day >= 0 && day < first_kept && day < delivered)
            out.push_back(n);
    }
    return out;
}

int retain_pass(const char *dir, const char *delivered_path, double now, int days)
{
    if (days <= 0)
        return 0;
    DIR *d = opendir(dir);
    if (d == nullptr) {
        VLOG("[WARN] Retention: cannot read %s: %d %s", dir, errno, std::strerror(errno));
        return 0;
    }
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d))
        if (retain_file_day(e->d_name) >= 0)
            names.push_back(e->d_name);
    closedir(d);

    int delivered = delivered_day(delivered_path);
    int today = ymd_of(now);
    std::vector<std::string> old = retain_select(names, INT32_MAX, today, days);
    std::vector<std::string> gone = retain_select(names, delivered, today, days);
    std::set<std::string> removable(gone.begin(), gone.end());
    int removed = 0;
    std::lock_guard<std::mutex> g(rs.mu);
    for (const auto &n : old) {
        std::string path = std::string(dir) + "/" + n;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        bool quiet = now - static_cast<double>(st.st_mtime) >= RETAIN_QUIET;
        if (!removable.count(n) || !quiet) {
            if (rs.warned.insert(n).second)
                VLOG("[WARN] Retention: keeping %s past %d days: not all its records are "
                     "reported yet",
                     path.c_str(), days);
            continue;
        }
        if (unlink(path.c_str()) != 0) {
            VLOG("[WARN] Retention: cannot remove %s: %d %s", path.c_str(), errno,
                 std::strerror(errno));
            continue;
        }
        rs.warned.erase(n);
        removed++;
        VLOG("[INFO] Retention: removed %s (older than %d days, every record reported)",
             path.c_str(), days);
    }
    return removed;
}

void retain_start(int days)
{
    rs.days = days;
    if (days <= 0)
        return;
    pthread_t t;
    AZ(pthread_create(&t, nullptr, retain_thread, nullptr));
    AZ(pthread_detach(t));
}
