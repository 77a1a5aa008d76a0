#include "vstat.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "vlog.h"

namespace
{

constexpr const char *BOOT_ID_PATH = "/proc/sys/kernel/random/boot_id";
// Values a new start takes over from the file of the one before.
constexpr const char *CARRIED_OVER[] = {"report_last_ok_time", "report_last_failed_time"};

struct vstat_state {
    std::mutex mu;       // the values below
    std::mutex write_mu; // one writer of the file at a time
    std::atomic<bool> active{false};
    std::atomic<double> last_write{-1e9}; // monotonic seconds
    std::string dir = VSTAT_DIR;
    std::string path, tmp_path;
    vstat_values vals;
    vstat_gather_f gather = nullptr;
    bool write_failing = false; // logged once until a write works again
} st;

double mono_coarse()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double real_now()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool read_small(const std::string &path, std::string *out)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    out->clear();
    char buf[4096];
    ssize_t n;
    while (out->size() < VSTAT_FILE_MAX && (n = read(fd, buf, sizeof buf)) > 0)
        out->append(buf, static_cast<size_t>(n));
    close(fd);
    return true;
}

bool valid_prog(const char *prog)
{
    if (prog == nullptr || *prog == '\0' || std::strlen(prog) > 64)
        return false;
    for (const char *p = prog; *p != '\0'; p++)
        if (!(std::islower(static_cast<unsigned char>(*p)) ||
              std::isdigit(static_cast<unsigned char>(*p)) || *p == '_' || *p == '-'))
            return false;
    return true;
}

void format_number(std::string *o, double v)
{
    char buf[64];
    if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e18)
        std::snprintf(buf, sizeof buf, "%.0f", v);
    else if (std::isfinite(v) && std::fabs(v) >= 1e9 && std::fabs(v) < 1e12)
        std::snprintf(buf, sizeof buf, "%.3f", v); // a time stamp, to the millisecond
    else
        std::snprintf(buf, sizeof buf, "%.17g", v);
    *o += buf;
}

// Write the current values; the caller has decided it is time.
void write_now()
{
    std::string text;
    {
        std::lock_guard<std::mutex> g(st.mu);
        st.last_write = mono_coarse();
        st.vals.updated = real_now();
        text = VSTAT_Format(st.vals);
    }
    std::lock_guard<std::mutex> g(st.write_mu);
    // Two processes of one program (a daemon and its launcher, or a test's
    // several instances) must not rename each other's half-written file away.
    const std::string tmp = st.tmp_path + "." + std::to_string(getpid());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    int err = errno;
    if (ok) {
        ssize_t n = write(fd, text.data(), text.size());
        err = errno;
        ok = n == static_cast<ssize_t>(text.size());
        if (n >= 0 && !ok)
            err = ENOSPC;
        if (close(fd) != 0 && ok) {
            ok = false;
            err = errno;
        }
    }
    // The rename replaces the file as a whole: a reader sees the old or the new.
    if (ok && rename(tmp.c_str(), st.path.c_str()) != 0) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        (void)unlink(tmp.c_str());
        if (!st.write_failing)
            VLOG("[WARN] Cannot write the status file %s: %d %s", st.path.c_str(), err,
                 std::strerror(err));
    } else if (st.write_failing)
        VLOG("[INFO] The status file %s is written again", st.path.c_str());
    st.write_failing = !ok;
}

} // namespace

bool VSTAT_ValidName(std::string_view name)
{
    if (name.empty() || name.size() > 128)
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

std::string VSTAT_Format(const vstat_values &v)
{
    std::string o;
    o += "pid " + std::to_string(v.pid) + "\n";
    o += "boot_id " + (v.boot_id.empty() ? std::string("-") : v.boot_id) + "\n";
    o += "starts " + std::to_string(v.starts) + "\n";
    o += "start_time ";
    format_number(&o, v.start_time);
    o += "\nupdated ";
    format_number(&o, v.updated);
    o += "\n";
    for (const auto &[name, value] : v.values) {
        o += name;
        o += ' ';
        format_number(&o, value);
        o += '\n';
    }
    return o;
}

bool VSTAT_Parse(std::string_view text, vstat_values *out, std::string *why)
{
    vstat_values v;
    bool have_pid = false, have_starts = false, have_start = false, have_updated = false;
    size_t lineno = 0;
    while (!text.empty()) {
        lineno++;
        size_t nl = text.find('\n');
        if (nl == std::string_view::npos) {
            *why = "line " + std::to_string(lineno) + " has no end (file cut short)";
            return false;
        }
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl + 1);
        size_t sp = line.find(' ');
        std::string_view name = line.substr(0, sp);
        std::string value(sp == std::string_view::npos ? std::string_view() : line.substr(sp + 1));
        if (sp == std::string_view::npos || !VSTAT_ValidName(name) || value.empty()) {
            *why = "line " + std::to_string(lineno) + " is not \"name value\"";
            return false;
        }
        if (name == "boot_id") {
            v.boot_id = value == "-" ? "" : value;
            continue;
        }
        char *end = nullptr;
        errno = 0;
        double d = std::strtod(value.c_str(), &end);
        if (end != value.c_str() + value.size() || errno == ERANGE || std::isnan(d)) {
            *why = "line " + std::to_string(lineno) + ": " + std::string(name) + " is not a number";
            return false;
        }
        if (name == "pid") {
            v.pid = static_cast<long>(d);
            have_pid = v.pid > 0 && d == std::floor(d);
        } else if (name == "starts") {
            v.starts = d >= 0 ? static_cast<uint64_t>(d) : 0;
            have_starts = d >= 1;
        } else if (name == "start_time") {
            v.start_time = d;
            have_start = true;
        } else if (name == "updated") {
            v.updated = d;
            have_updated = true;
        } else
            v.values[std::string(name)] = d;
    }
    if (!have_pid || !have_starts || !have_start || !have_updated) {
        *why = "pid, starts, start_time or updated missing or invalid";
        return false;
    }
    *out = std::move(v);
    return true;
}

std::string VSTAT_BootId()
{
    std::string raw, id;
    if (!read_small(BOOT_ID_PATH, &raw))
        return "";
    for (char c : raw)
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))
            id += c;
    return id.size() > 64 ? "" : id;
}

int VSTAT_Init(const char *prog)
{
    if (!valid_prog(prog)) {
        errno = EINVAL;
        return -1;
    }
    if (st.active) {
        // A second call in the same process (a daemon that opens its log
        // again) is no new start.
        std::lock_guard<std::mutex> g(st.mu);
        if (st.path == st.dir + "/" + prog) {
            st.vals.pid = static_cast<long>(getpid());
            return 0;
        }
    }
    std::string boot_id = VSTAT_BootId();
    {
        std::lock_guard<std::mutex> g(st.mu);
        st.path = st.dir + "/" + prog;
        st.tmp_path = st.dir + "/." + prog + ".tmp";
        st.vals = vstat_values();
        st.vals.pid = static_cast<long>(getpid());
        st.vals.boot_id = boot_id;
        st.vals.start_time = real_now();
        // Starts since boot: one more than the last run of this boot wrote.
        std::string old, why;
        vstat_values prev;
        st.vals.starts = 1;
        bool have_prev = read_small(st.path, &old) && VSTAT_Parse(old, &prev, &why);
        if (have_prev && !boot_id.empty() && prev.boot_id == boot_id)
            st.vals.starts = prev.starts + 1;
        // When the last report got through stays true across a restart (an
        // alert on it must not fire because the daemon was restarted).
        for (const char *name : CARRIED_OVER)
            if (have_prev && prev.values.count(name) != 0)
                st.vals.values[name] = prev.values[name];
    }
    if (mkdir(st.dir.c_str(), 0755) != 0 && errno != EEXIST) {
        int e = errno;
        VLOG("[WARN] Cannot create the status directory %s: %d %s", st.dir.c_str(), e,
             std::strerror(e));
        errno = e;
        return -1;
    }
    st.active = true;
    write_now();
    if (st.write_failing) {
        st.active = false;
        errno = EIO;
        return -1;
    }
    return 0;
}

bool VSTAT_Active()
{
    return st.active;
}

void VSTAT_Add(const char *name, uint64_t n)
{
    if (!st.active)
        return;
    std::lock_guard<std::mutex> g(st.mu);
    st.vals.values[name] += static_cast<double>(n);
}

void VSTAT_Set(const char *name, double v)
{
    if (!st.active)
        return;
    std::lock_guard<std::mutex> g(st.mu);
    st.vals.values[name] = v;
}

void VSTAT_Gatherer(vstat_gather_f fn)
{
    std::lock_guard<std::mutex> g(st.mu);
    st.gather = fn;
}

void VSTAT_Publish(bool force)
{
    if (!st.active)
        return;
    if (!force && mono_coarse() - st.last_write < VSTAT_INTERVAL)
        return;
    vstat_gather_f fn;
    {
        std::lock_guard<std::mutex> g(st.mu);
        fn = st.gather;
    }
    if (fn != nullptr)
        fn();
    write_now();
}

void VSTAT_Report(bool ok)
{
    if (!st.active)
        return;
    {
        std::lock_guard<std::mutex> g(st.mu);
        auto &v = st.vals.values;
        double now = real_now();
        // Both counters exist from the first report on, so a rate of
        // failures can be taken before the first failure.
        v["report_ok_total"] += ok ? 1 : 0;
        v["report_failed_total"] += ok ? 0 : 1;
        v[ok ? "report_last_ok_time" : "report_last_failed_time"] = now;
    }
    VSTAT_Publish(true);
}

void VSTAT_Reset(const char *dir)
{
    std::lock_guard<std::mutex> g(st.mu);
    st.active = false;
    st.last_write = -1e9;
    st.dir = dir != nullptr ? dir : VSTAT_DIR;
    st.path.clear();
    st.tmp_path.clear();
    st.vals = vstat_values();
    st.gather = nullptr;
    st.write_failing = false;
}
