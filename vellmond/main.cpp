// vellmond: follows the node's log files with inotify and reports the lines
// that matter to the master server.
#include <array>
#include <cerrno>
#include <cstring>
#include <sys/inotify.h>
#include <sys/select.h>
#include <unistd.h>

#include "report_client.h"
#include "vas.h"
#include "vdaemon.h"
#include "vellmond_queue.h"
#include "vellmond_wat.h"
#include "vlog.h"
#include "vtim.h"

namespace
{

// Every file is checked at least this often (seconds): after as long a quiet
// spell, and also while events keep coming, so that a file that appears
// beside busy ones is not left waiting for a quiet moment.
constexpr double LMON_CHECK_INTERVAL = 10.0;
constexpr size_t LMON_EVENT_BUF = 8192;

struct lmon_file {
    const char *path;
    wat_filter_f filter;
};

constexpr std::array<lmon_file, 4> watched = {{
    {"/opt/velkarn-server/1.6.3/var/velkarn_stdout.txt", WAT_errorFilter},
    {"/var/log/dmesg", WAT_allFilter},
    {"/var/log/messages", WAT_errorFilter},
    {"/var/log/syslog", WAT_errorFilter},
}};

constexpr std::array<vdaemon_option, 3> usage_options = {{
    {"-F", "Run in foreground"},
    {"-P file", "PID file"},
    {"-S", "Uses the internal IPv4 address for report"},
}};

[[noreturn]] void usage()
{
    VDAEMON_Usage("vellmond", usage_options);
}

void read_events(int fd)
{
    alignas(struct inotify_event) char buf[LMON_EVENT_BUF];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) {
        VLOG("[ERROR] Failed to read(2): %d %s\n", errno, std::strerror(errno));
        return;
    }
    WAT_dispatch(buf, static_cast<size_t>(n));
}

} // namespace

int main(int argc, char **argv)
{
    vdaemon_opts opts = VDAEMON_Opts("vellmond");
    int ch;
    while ((ch = getopt(argc, argv, "FP:S")) != -1)
        if (!VDAEMON_StdOption(&opts, ch, optarg))
            usage();
    if (optind < argc) {
        VDAEMON_TooMany(argv[optind]);
        usage();
    }

    (void)VDAEMON_Start(opts.pid_path.c_str(), opts.foreground);
    RC_InitOrExit();
    VDAEMON_OpenLog("vellmond");
    RQ_setAlternate(opts.alt_endpoint);

    int fd = inotify_init1(IN_CLOEXEC);
    VAS_ASSERT_TEXT(fd >= 0, "fd >= 0");
    VAS_ASSERT_TEXT(fd < FD_SETSIZE, "fd < 1024");
    for (const lmon_file &f : watched)
        (void)WAT_add(fd, f.path, f.filter);

    double next_check = VTIM_mono() + LMON_CHECK_INTERVAL;
    for (;;) {
        double left = next_check - VTIM_mono();
        if (left <= 0) {
            WAT_timeout();
            next_check = VTIM_mono() + LMON_CHECK_INTERVAL;
            left = LMON_CHECK_INTERVAL;
        }
        fd_set rfds;
        FD_ZERO(&rfds);
        FD_SET(fd, &rfds);
        struct timeval tv;
        tv.tv_sec = static_cast<time_t>(left);
        tv.tv_usec = static_cast<suseconds_t>((left - static_cast<double>(tv.tv_sec)) * 1e6);
        int n = select(fd + 1, &rfds, nullptr, nullptr, &tv);
        if (n < 0) {
            VLOG("[ERROR] select(2) failed: %d %s\n", errno, std::strerror(errno));
            continue;
        }
        if (n > 0)
            read_events(fd);
    }
}
