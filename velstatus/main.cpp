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
#include <fstream>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "vdaemon.h"
#include "velstatus_read.h"
#include "vpf.h"
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

void print_text(const node_status &ns)
{
    printf("daemons:\n");
    for (const auto &d : ns.daemons) {
        printf("  %-12s ", d.name.c_str());
        if (d.pid > 0)
            printf("pid %-8d ", static_cast<int>(d.pid));
        else
            printf("%-12s ", "-");
        printf("%-12s", status_state_name(d.state));
        if (d.state == daemon_state::running || d.state == daemon_state::foreign)
            printf(" up %s", fmt_duration(d.uptime).c_str());
        if (!d.detail.empty())
            printf(" (%s: %s)", d.pidfile.c_str(), d.detail.c_str());
        printf("\n");
    }
    if (ns.round_ok) {
        printf("\nveld clients (usage round of %s, %zu client%s):\n", ns.round.stamp.c_str(),
               ns.round.clients.size(), ns.round.clients.size() == 1 ? "" : "s");
        for (const auto &c : ns.round.clients)
            printf("  %s:%s  %s  in %lld B  out %lld B  remote addresses %d%s\n", c.host.c_str(),
                   c.port.c_str(), c.mac.c_str(), c.in, c.out, c.remote_addresses,
                   c.other_traffic ? "  (and other traffic)" : "");
    } else
        printf("\nveld clients: cannot tell: %s\n", ns.round_why.c_str());
    printf("\nvelumond:\n");
    if (ns.lastcommitted_why.empty()) {
        std::string date = committed_date(ns.lastcommitted);
        printf("  last committed: %s%s%s%s\n", ns.lastcommitted.c_str(), date.empty() ? "" : " (",
               date.c_str(), date.empty() ? "" : ")");
    } else
        printf("  last committed: cannot read %s\n", ns.lastcommitted_why.c_str());
    if (ns.daily_why.empty())
        printf("  daily file: %s (%lld bytes, %lld records)\n", ns.daily_path.c_str(),
               ns.daily_bytes, ns.daily_lines);
    else
        printf("  daily file: %s: %s\n", ns.daily_path.c_str(), ns.daily_why.c_str());
}

void print_json(const node_status &ns)
{
    auto js = status_json_string;
    printf("{\"daemons\": [");
    for (size_t i = 0; i < ns.daemons.size(); i++) {
        const auto &d = ns.daemons[i];
        printf("%s{\"name\": %s, \"pidfile\": %s, \"state\": %s, \"alive\": %s", i ? ", " : "",
               js(d.name).c_str(), js(d.pidfile).c_str(), js(status_state_name(d.state)).c_str(),
               d.state == daemon_state::running ? "true" : "false");
        if (d.pid > 0)
            printf(", \"pid\": %d", static_cast<int>(d.pid));
        else
            printf(", \"pid\": null");
        if (d.uptime >= 0)
            printf(", \"uptime_seconds\": %.0f", d.uptime);
        else
            printf(", \"uptime_seconds\": null");
        if (!d.detail.empty())
            printf(", \"error\": %s", js(d.detail).c_str());
        printf("}");
    }
    printf("],\n \"usage_round\": ");
    if (ns.round_ok) {
        printf("{\"time\": %s, \"real\": %.2f, \"clients\": [", js(ns.round.stamp).c_str(),
               ns.round.real);
        for (size_t i = 0; i < ns.round.clients.size(); i++) {
            const auto &c = ns.round.clients[i];
            printf("%s{\"address\": %s, \"port\": %s, \"mac\": %s, \"bytes_in\": %lld, "
                   "\"bytes_out\": %lld, \"remote_addresses\": %d, \"other_traffic\": %s}",
                   i ? ", " : "", js(c.host).c_str(), js(c.port).c_str(), js(c.mac).c_str(), c.in,
                   c.out, c.remote_addresses, c.other_traffic ? "true" : "false");
        }
        printf("]}");
    } else
        printf("{\"error\": %s}", js(ns.round_why).c_str());
    printf(",\n \"velumond\": {\"last_committed\": ");
    if (ns.lastcommitted_why.empty())
        printf("%s", js(ns.lastcommitted).c_str());
    else
        printf("null, \"last_committed_error\": %s", js(ns.lastcommitted_why).c_str());
    printf(", \"daily_file\": {\"path\": %s", js(ns.daily_path).c_str());
    if (ns.daily_why.empty())
        printf(", \"bytes\": %lld, \"records\": %lld}}}\n", ns.daily_bytes, ns.daily_lines);
    else
        printf(", \"error\": %s}}}\n", js(ns.daily_why).c_str());
}

const vdaemon_option usage_lines[] = {
    {"-j", "Print JSON instead of text"},
    {"-h", "Print this help"},
};

} // namespace

int main(int argc, char **argv)
{
    bool json = false;
    int ch;
    while ((ch = getopt(argc, argv, "hj")) != -1) {
        switch (ch) {
        case 'j':
            json = true;
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
    if (json)
        print_json(ns);
    else
        print_text(ns);
    return 0;
}
