// velumond: follows veld's usage records, keeps them in daily files and
// reports the per-client sums, split by the node's country, to the master.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

#include "report_client.h"
#include "vas.h"
#include "vdaemon.h"
#include "vlog.h"
#include "vpf.h"
#include "velumond_geo.h"
#include "velumond_retain.h"
#include "velumond_shmlog.h"
#include "velumond_usage.h"

namespace
{

constexpr const char *VELD_PID_PATH = "/var/run/veld.pid";
constexpr unsigned WAITVELD_RETRY = 5;  // seconds between probes while veld is down
constexpr unsigned WAITVELD_SETTLE = 3; // seconds for veld to create its log file
// A failing probe is tried again after a short pause rather than in a tight
// loop (a pid file caught between its lock and its pid would flood stderr).
constexpr useconds_t WAITVELD_ERROR_PAUSE = 100000;

constexpr std::array<vdaemon_option, 2> usage_options = {{
    {"-F", "Run in foreground"},
    {"-P file", "PID file"},
}};

[[noreturn]] void usage()
{
    VDAEMON_Usage("velumond", usage_options);
}

// Blocks until veld holds its pid-file lock, then gives it time to set up.
void waitveld()
{
    for (;;) {
        pid_t pid;
        vpf_file *pf = VPF_Open(VELD_PID_PATH, 0644, &pid);
        if (pf != nullptr) {
            // Nobody holds it: veld is not running. Leave no file of ours behind.
            AZ(VPF_Delete(pf));
            std::fprintf(stderr, "[WARN] veld isn't running... Waits for 5 seconds.\n");
            // Stopping: what veld left in its log is still filed.
            if (umon_stop_requested())
                return;
            umon_nap(WAITVELD_RETRY);
            continue;
        }
        if (errno == EEXIST)
            break;
        std::fprintf(stderr, "[ERROR] Failed to read PID file. (%d %s)\n", errno,
                     std::strerror(errno));
        if (umon_stop_requested())
            return;
        usleep(WAITVELD_ERROR_PAUSE);
    }
    umon_nap(WAITVELD_SETTLE);
}

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// Takes the stop signals for the whole process: the first starts the ordered
// stop, a second one, or the stop's bound running out, ends it at once
// (nothing is lost either way: what is not delivered is after the next start).
void *stop_thread(void *priv)
{
    (void)priv;
    sigset_t set = stop_signals();
    int sig;
    while (sigwait(&set, &sig) != 0)
        continue;
    VLOG("[INFO] %s: filing what veld wrote, reporting what is due, then exiting", strsignal(sig));
    umon_stop_request();
    struct timespec bound = {UMON_STOP_BOUND, 0};
    int again = sigtimedwait(&set, nullptr, &bound);
    if (again > 0)
        VLOG("[WARN] %s again: exiting at once; what is not reported yet is reported after the "
             "next start",
             strsignal(again));
    else
        VLOG("[WARN] Not stopped within %u s: exiting; what is not reported yet is reported "
             "after the next start",
             UMON_STOP_BOUND);
    std::fflush(nullptr);
    _exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    vdaemon_opts opts = VDAEMON_Opts("velumond");
    int retain_days = RETAIN_DEFAULT_DAYS;
    int ch;
    while ((ch = getopt(argc, argv, "FP:R:S")) != -1) {
        if (ch == 'R' && retain_parse_days(optarg, &retain_days) != 0) {
            std::fprintf(stderr, "-R %s: not a number of days (0 to %d)\n", optarg,
                         RETAIN_MAX_DAYS);
            usage();
        }
        if (ch != 'R' && !VDAEMON_StdOption(&opts, ch, optarg))
            usage();
    }
    if (optind < argc) {
        VDAEMON_TooMany(argv[optind]);
        usage();
    }

    // Every thread leaves the stop signals to stop_thread.
    sigset_t set = stop_signals();
    AZ(pthread_sigmask(SIG_BLOCK, &set, nullptr));
    vpf_file *pfh = VDAEMON_Start(opts.pid_path.c_str(), opts.foreground);
    pthread_t stopper;
    AZ(pthread_create(&stopper, nullptr, stop_thread, nullptr));
    waitveld();
    RC_InitOrExit();
    VDAEMON_OpenLog("velumond");
    readLastCommitted();
    geo_load();
    AZ(pthread_create(&shmlog_thread, nullptr, shmlog_start, nullptr));
    retain_start(retain_days);
    if (umon_main_loop(opts.alt_endpoint))
        VLOG("[INFO] Stopped: every usage record is filed and reported");
    else
        VLOG("[WARN] Stopped: some usage is not reported yet; it is reported after the next "
             "start");
    if (pfh != nullptr)
        (void)VPF_Delete(pfh);
    std::fflush(nullptr);
    // The shmlog thread rests for good; no destructor should run under it.
    _exit(0);
}
