// velumond: follows veld's usage records, keeps them in daily files and
// reports the per-client sums, split by the node's country, to the master.
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <unistd.h>

#include "report_client.h"
#include "vas.h"
#include "vdaemon.h"
#include "vpf.h"
#include "velumond_geo.h"
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
            sleep(WAITVELD_RETRY);
            continue;
        }
        if (errno == EEXIST)
            break;
        std::fprintf(stderr, "[ERROR] Failed to read PID file. (%d %s)\n", errno,
                     std::strerror(errno));
        usleep(WAITVELD_ERROR_PAUSE);
    }
    sleep(WAITVELD_SETTLE);
}

} // namespace

int main(int argc, char **argv)
{
    vdaemon_opts opts = VDAEMON_Opts("velumond");
    int ch;
    while ((ch = getopt(argc, argv, "FP:S")) != -1)
        if (!VDAEMON_StdOption(&opts, ch, optarg))
            usage();
    if (optind < argc) {
        VDAEMON_TooMany(argv[optind]);
        usage();
    }

    (void)VDAEMON_Start(opts.pid_path.c_str(), opts.foreground);
    waitveld();
    RC_InitOrExit();
    VDAEMON_OpenLog("velumond");
    readLastCommitted();
    geo_load();
    AZ(pthread_create(&shmlog_thread, nullptr, shmlog_start, nullptr));
    umon_main_loop(opts.alt_endpoint);
}
