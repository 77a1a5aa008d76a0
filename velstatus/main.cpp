// velstatus: what the node's daemons are doing, read from their pid files,
// veld's shared-memory log and velumond's files. It only reads: it takes no
// lock, creates nothing and needs no daemon to be running; whatever it cannot
// read, it says so and goes on.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "vdaemon.h"
#include "velstatus_prom.h"
#include "velstatus_read.h"
#include "vpf.h"
#include "vstat.h"
#include "vtim.h"

namespace
{

constexpr const char *NODE_DAEMONS[] = {"velwatchdog", "veld",     "velumond", "velcrond",
                                        "vellmond",    "velmeshd", "velrttd",  "velechod",
                                        "velhttpd",    "velurd"};
constexpr const char *SHM_PATH = "/var/velkarn-server/veld/_.vsm";
constexpr const char *LASTCOMMITTED_PATH = "/var/velkarn-server/velumond/t_lastcommitted";
constexpr const char *DAILY_PREFIX = "/var/velkarn-server/stat_";
constexpr size_t SHM_READ_MAX = size_t(1) << 32;
// The daemons that report to the master server.
constexpr const char *REPORTING_DAEMONS[] = {"velumond", "velcrond", "vellmond", "velmeshd"};

bool read_text(const std::string &path, std::string *out, std::string *why, size_t max = 65536)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *why = strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "not a regular file";
        close(fd);
        return false;
    }
    out->clear();
    char buf[65536];
    ssize_t n;
    while (out->size() < max && (n = read(fd, buf, sizeof buf)) > 0)
        out->append(buf, static_cast<size_t>(n));
    close(fd);
    if (out->size() > max)
        out->resize(max);
    return true;
}

// Whether anybody holds a lock on the file: the daemons lock their pid file
// for as long as they run. Asking does not take a lock.
bool pidfile_locked(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    bool locked = fcntl(fd, F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    close(fd);
    return locked;
}

daemon_status probe_daemon(const char *name)
{
    daemon_status d;
    d.name = name;
    d.pidfile = std::string("/var/run/") + name + ".pid";
    pid_t pid;
    int err = vpf_read_pid(d.pidfile.c_str(), &pid);
    if (err == ENOENT) {
        d.state = daemon_state::no_pidfile;
        return d;
    }
    if (err != 0) {
        d.state = daemon_state::unreadable;
        d.detail = err == EINVAL ? "content is not a pid" : strerror(err);
        return d;
    }
    d.pid = pid;
    if (kill(pid, 0) != 0 && errno != EPERM) {
        d.state = daemon_state::stale;
        return d;
    }
    d.state = pidfile_locked(d.pidfile) ? daemon_state::running : daemon_state::foreign;
    std::string stat, uptime, why;
    if (read_text("/proc/" + std::to_string(pid) + "/stat", &stat, &why) &&
        read_text("/proc/uptime", &uptime, &why))
        d.uptime = status_proc_uptime(stat, strtod(uptime.c_str(), nullptr), sysconf(_SC_CLK_TCK));
    return d;
}

struct node_status {
    std::vector<daemon_status> daemons;
    bool round_ok = false;
    usage_round round;
    std::string round_why;
    std::string lastcommitted, lastcommitted_why;
    std::string daily_path, daily_why;
    long long daily_bytes = -1, daily_lines = -1;
    prom_input files; // the daemons' status files, in the order of daemons
};

void probe_usage(node_status *ns)
{
    std::string img;
    if (!read_text(SHM_PATH, &img, &ns->round_why, SHM_READ_MAX)) {
        ns->round_why = std::string(SHM_PATH) + ": " + ns->round_why;
        return;
    }
    std::vector<usage_record> recs;
    std::string why;
    bool ok =
        status_log_records(reinterpret_cast<const uint8_t *>(img.data()), img.size(), &recs, &why);
    if (!ok) {
        ns->round_why = std::string(SHM_PATH) + ": " + why;
        return;
    }
    if (!status_latest_round(recs, &ns->round)) {
        ns->round_why = "no usage round in the log yet";
        return;
    }
    ns->round_ok = true;
}

void probe_velumond(node_status *ns)
{
    if (read_text(LASTCOMMITTED_PATH, &ns->lastcommitted, &ns->lastcommitted_why, 8192)) {
        while (!ns->lastcommitted.empty() &&
               isspace(static_cast<unsigned char>(ns->lastcommitted.back())))
            ns->lastcommitted.pop_back();
    } else
        ns->lastcommitted_why = std::string(LASTCOMMITTED_PATH) + ": " + ns->lastcommitted_why;
    char date[16];
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    strftime(date, sizeof date, "%Y%m%d", &tm);
    ns->daily_path = std::string(DAILY_PREFIX) + date + ".log";
    std::string text;
    if (read_text(ns->daily_path, &text, &ns->daily_why, SHM_READ_MAX)) {
        ns->daily_bytes = static_cast<long long>(text.size());
        ns->daily_lines = 0;
        for (char c : text)
            ns->daily_lines += c == '\n';
    }
}

std::string fmt_duration(double s)
{
    if (s < 0)
        return "-";
    long t = std::lround(s);
    char buf[64];
    if (t >= 86400)
        snprintf(buf, sizeof buf, "%ldd %02ldh %02ldm", t / 86400, t % 86400 / 3600, t % 3600 / 60);
    else if (t >= 3600)
        snprintf(buf, sizeof buf, "%ldh %02ldm %02lds", t / 3600, t % 3600 / 60, t % 60);
    else
        snprintf(buf, sizeof buf, "%ldm %02lds", t / 60, t % 60);
    return buf;
}

std::string committed_date(const std::string &text)
{
    char *end = nullptr;
    double t = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0')
        return "";
    char buf[VTIM_PRINT_SIZE];
    VTIM_print(buf, "%a, %d %b %Y %T GMT", t);
    return buf;
}

// What a daemon's status file adds: restarts since boot, reports to the master.
void print_file_text(FILE *fp, const node_status &ns, size_t i)
{
    if (i >= ns.files.daemons.size() || !ns.files.daemons[i].file_ok)
        return;
    const prom_daemon &pd = ns.files.daemons[i];
    const vstat_values &f = pd.file;
    if (f.boot_id == ns.files.boot_id && f.starts > 1)
        fprintf(fp, ", restarted %ju time%s", static_cast<uintmax_t>(f.starts - 1),
                f.starts == 2 ? "" : "s");
    if (!pd.reports)
        return;
    auto v = [&](const char *name) {
        auto it = f.values.find(name);
        return it == f.values.end() ? 0.0 : it->second;
    };
    fprintf(fp, ", reports %.0f ok, %.0f failed", v("report_ok_total"), v("report_failed_total"));
    if (v("report_last_ok_time") > 0)
        fprintf(fp, ", last ok %s ago",
                fmt_duration(ns.files.now - v("report_last_ok_time")).c_str());
    else
        fprintf(fp, ", none ok yet");
}

void print_text(FILE *fp, const node_status &ns)
{
    fprintf(fp, "daemons:\n");
    for (const auto &d : ns.daemons) {
        fprintf(fp, "  %-12s ", d.name.c_str());
        if (d.pid > 0)
            fprintf(fp, "pid %-8d ", static_cast<int>(d.pid));
        else
            fprintf(fp, "%-12s ", "-");
        fprintf(fp, "%-12s", status_state_name(d.state));
        if (d.state == daemon_state::running || d.state == daemon_state::foreign)
            fprintf(fp, " up %s", fmt_duration(d.uptime).c_str());
        if (!d.detail.empty())
            fprintf(fp, " (%s: %s)", d.pidfile.c_str(), d.detail.c_str());
        print_file_text(fp, ns, &d - ns.daemons.data());
        fprintf(fp, "\n");
    }
    if (ns.round_ok) {
        fprintf(fp, "\nveld clients (usage round of %s, %zu client%s):\n", ns.round.stamp.c_str(),
                ns.round.clients.size(), ns.round.clients.size() == 1 ? "" : "s");
        for (const auto &c : ns.round.clients)
            fprintf(fp, "  %s:%s  %s  in %lld B  out %lld B  remote addresses %d%s\n",
                    c.host.c_str(), c.port.c_str(), c.mac.c_str(), c.in, c.out, c.remote_addresses,
                    c.other_traffic ? "  (and other traffic)" : "");
    } else
        fprintf(fp, "\nveld clients: cannot tell: %s\n", ns.round_why.c_str());
    fprintf(fp, "\nvelumond:\n");
    if (ns.lastcommitted_why.empty()) {
        std::string date = committed_date(ns.lastcommitted);
        fprintf(fp, "  last committed: %s%s%s%s\n", ns.lastcommitted.c_str(),
                date.empty() ? "" : " (", date.c_str(), date.empty() ? "" : ")");
    } else
        fprintf(fp, "  last committed: cannot read %s\n", ns.lastcommitted_why.c_str());
    if (ns.daily_why.empty())
        fprintf(fp, "  daily file: %s (%lld bytes, %lld records)\n", ns.daily_path.c_str(),
                ns.daily_bytes, ns.daily_lines);
    else
        fprintf(fp, "  daily file: %s: %s\n", ns.daily_path.c_str(), ns.daily_why.c_str());
}

void print_json(FILE *fp, const node_status &ns)
{
    auto js = status_json_string;
    fprintf(fp, "{\"daemons\": [");
    for (size_t i = 0; i < ns.daemons.size(); i++) {
        const auto &d = ns.daemons[i];
        fprintf(fp, "%s{\"name\": %s, \"pidfile\": %s, \"state\": %s, \"alive\": %s", i ? ", " : "",
                js(d.name).c_str(), js(d.pidfile).c_str(), js(status_state_name(d.state)).c_str(),
                d.state == daemon_state::running ? "true" : "false");
        if (d.pid > 0)
            fprintf(fp, ", \"pid\": %d", static_cast<int>(d.pid));
        else
            fprintf(fp, ", \"pid\": null");
        if (d.uptime >= 0)
            fprintf(fp, ", \"uptime_seconds\": %.0f", d.uptime);
        else
            fprintf(fp, ", \"uptime_seconds\": null");
        if (!d.detail.empty())
            fprintf(fp, ", \"error\": %s", js(d.detail).c_str());
        if (i < ns.files.daemons.size() && ns.files.daemons[i].file_ok) {
            const prom_daemon &pd = ns.files.daemons[i];
            const vstat_values &f = pd.file;
            fprintf(fp, ", \"restarts\": %ju",
                    static_cast<uintmax_t>(
                        f.boot_id == ns.files.boot_id && f.starts > 0 ? f.starts - 1 : 0));
            if (pd.reports) {
                auto v = [&](const char *name) {
                    auto it = f.values.find(name);
                    return it == f.values.end() ? 0.0 : it->second;
                };
                fprintf(fp, ", \"reports\": {\"ok\": %.0f, \"failed\": %.0f, \"last_ok_time\": ",
                        v("report_ok_total"), v("report_failed_total"));
                if (v("report_last_ok_time") > 0)
                    fprintf(fp, "%.3f}", v("report_last_ok_time"));
                else
                    fprintf(fp, "null}");
            }
        }
        fprintf(fp, "}");
    }
    fprintf(fp, "],\n \"usage_round\": ");
    if (ns.round_ok) {
        fprintf(fp, "{\"time\": %s, \"real\": %.2f, \"clients\": [", js(ns.round.stamp).c_str(),
                ns.round.real);
        for (size_t i = 0; i < ns.round.clients.size(); i++) {
            const auto &c = ns.round.clients[i];
            fprintf(fp,
                    "%s{\"address\": %s, \"port\": %s, \"mac\": %s, \"bytes_in\": %lld, "
                    "\"bytes_out\": %lld, \"remote_addresses\": %d, \"other_traffic\": %s}",
                    i ? ", " : "", js(c.host).c_str(), js(c.port).c_str(), js(c.mac).c_str(), c.in,
                    c.out, c.remote_addresses, c.other_traffic ? "true" : "false");
        }
        fprintf(fp, "]}");
    } else
        fprintf(fp, "{\"error\": %s}", js(ns.round_why).c_str());
    fprintf(fp, ",\n \"velumond\": {\"last_committed\": ");
    if (ns.lastcommitted_why.empty())
        fprintf(fp, "%s", js(ns.lastcommitted).c_str());
    else
        fprintf(fp, "null, \"last_committed_error\": %s", js(ns.lastcommitted_why).c_str());
    fprintf(fp, ", \"daily_file\": {\"path\": %s", js(ns.daily_path).c_str());
    if (ns.daily_why.empty())
        fprintf(fp, ", \"bytes\": %lld, \"records\": %lld}}}\n", ns.daily_bytes, ns.daily_lines);
    else
        fprintf(fp, ", \"error\": %s}}}\n", js(ns.daily_why).c_str());
}

bool is_reporting(const std::string &name)
{
    for (const char *r : REPORTING_DAEMONS)
        if (name == r)
            return true;
    return false;
}

prom_input gather_prometheus(const node_status &ns)
{
    prom_input in;
    in.now = VTIM_real();
    in.boot_id = VSTAT_BootId();
    for (const auto &d : ns.daemons) {
        prom_daemon pd;
        pd.st = d;
        pd.reports = is_reporting(d.name);
        std::string path = std::string(VSTAT_DIR) + "/" + d.name, text, why;
        if (read_text(path, &text, &why, VSTAT_FILE_MAX)) {
            pd.file_ok = VSTAT_Parse(text, &pd.file, &why);
            if (!pd.file_ok)
                pd.file_why = path + ": " + why;
        } else if (errno != ENOENT || d.state == daemon_state::running) {
            // velwatchdog keeps none; the others write theirs at start.
            if (d.name != "velwatchdog")
                pd.file_why = path + ": " + why;
        }
        in.daemons.push_back(std::move(pd));
    }
    in.round_ok = ns.round_ok;
    in.round = ns.round;
    if (ns.lastcommitted_why.empty()) {
        char *end = nullptr;
        double t = strtod(ns.lastcommitted.c_str(), &end);
        in.committed_ok = !ns.lastcommitted.empty() && *end == '\0';
        in.committed = t;
    }
    in.daily_lines = ns.daily_why.empty() ? ns.daily_lines : -1;
    return in;
}

// Replace path as a whole: the textfile collector must never read half a file.
int write_atomically(const std::string &path, const std::string &text)
{
    std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    ssize_t n = write(fd, text.data(), text.size());
    int err = n < 0 ? errno : ENOSPC;
    if (n != static_cast<ssize_t>(text.size()) || fsync(fd) != 0) {
        if (n == static_cast<ssize_t>(text.size()))
            err = errno;
        close(fd);
        unlink(tmp.c_str());
        errno = err;
        return -1;
    }
    if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
        err = errno;
        unlink(tmp.c_str());
        errno = err;
        return -1;
    }
    return 0;
}

const vdaemon_option usage_lines[] = {
    {"-j", "Print JSON instead of text"},
    {"-p, --prometheus", "Print Prometheus metrics instead of text"},
    {"-o file", "Write the output to file (replaced as a whole)"},
    {"-h", "Print this help"},
};

} // namespace

int main(int argc, char **argv)
{
    enum class format { text, json, prometheus } fmt = format::text;
    const char *out_path = nullptr;
    static const struct option longopts[] = {
        {"prometheus", no_argument, nullptr, 'p'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int ch;
    while ((ch = getopt_long(argc, argv, "hjo:p", longopts, nullptr)) != -1) {
        switch (ch) {
        case 'j':
            fmt = format::json;
            break;
        case 'p':
            fmt = format::prometheus;
            break;
        case 'o':
            out_path = optarg;
            break;
        case 'h':
            VDAEMON_PrintUsage(stdout, "velstatus", usage_lines);
            return 0;
        default:
            VDAEMON_Usage("velstatus", usage_lines);
        }
    }
    if (optind < argc) {
        VDAEMON_TooMany(argv[optind]);
        VDAEMON_Usage("velstatus", usage_lines);
    }
    node_status ns;
    for (const char *name : NODE_DAEMONS)
        ns.daemons.push_back(probe_daemon(name));
    probe_usage(&ns);
    probe_velumond(&ns);
    ns.files = gather_prometheus(ns);
    if (fmt == format::prometheus || out_path != nullptr) {
        std::string text;
        if (fmt == format::prometheus)
            text = status_prometheus(ns.files);
        else {
            char *buf = nullptr;
            size_t len = 0;
            FILE *mem = open_memstream(&buf, &len);
            if (mem == nullptr) {
                perror("open_memstream");
                return 1;
            }
            if (fmt == format::json)
                print_json(mem, ns);
            else
                print_text(mem, ns);
            fclose(mem);
            text.assign(buf, len);
            free(buf);
        }
        if (out_path == nullptr) {
            fwrite(text.data(), 1, text.size(), stdout);
            return fflush(stdout) == 0 ? 0 : 1;
        }
        if (write_atomically(out_path, text) != 0) {
            fprintf(stderr, "velstatus: cannot write %s: %s\n", out_path, strerror(errno));
            return 1;
        }
        return 0;
    }
    if (fmt == format::json)
        print_json(stdout, ns);
    else
        print_text(stdout, ns);
    return 0;
}
