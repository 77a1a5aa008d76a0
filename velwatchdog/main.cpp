// velwatchdog: starts every service of the node as a child process and starts
// it again whenever it ends; SIGHUP rereads the list of services.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include "vdaemon.h"
#include "vlog.h"
#include "vpf.h"
#include "velwatchdog_conf.h"
#include "velwatchdog_svc.h"

namespace
{
constexpr const char *PROG = "velwatchdog";
constexpr const char *VERSION = "1.6.3";
constexpr const char *PID_PATH = "/var/run/velwatchdog.pid";
constexpr int EX_USAGE_ = 64;
constexpr int EX_DATAERR_ = 65;
constexpr int LOG_OPTS = LOG_PID | LOG_NOWAIT;

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: %s [-v]\n", PROG);
    std::exit(EX_USAGE_);
}
} // namespace

int main(int argc, char **argv)
{
    // Every child inherits the limit, so every daemon of the node dumps core.
    struct rlimit rl = {RLIM_INFINITY, RLIM_INFINITY};
    int rl_errno = setrlimit(RLIMIT_CORE, &rl) == 0 ? 0 : errno;

    openlog(PROG, LOG_OPTS | LOG_PERROR, LOG_DAEMON);
    if (rl_errno != 0) {
        errno = rl_errno;
        VLOG("[WARN] setrlimit(RLIMIT_CORE): %m");
    }

    bool trace = false;
    bool check = false;
    std::string pid_path = PID_PATH;
    int ch;
    while ((ch = getopt(argc, argv, "dP:tv")) != -1) {
        switch (ch) {
        case 'd':
            trace = true;
            break;
        case 'P':
            pid_path = optarg;
            break;
        case 't':
            check = true;
            break;
        case 'v':
            std::fprintf(stderr, "%s v%s\n", PROG, VERSION);
            return 0;
        default:
            usage();
        }
    }
    const char *conf_path = optind < argc ? argv[optind] : WAT_CONF_PATH;
    if (check) {
        // Only the file is looked at: a running supervisor is not touched.
        std::string why;
        unsigned n = 0;
        if (WAT_ConfVerify(conf_path, &why, &n) != 0) {
            std::fprintf(stderr, "%s: %s\n", PROG, why.c_str());
            return EX_DATAERR_;
        }
        std::fprintf(stderr, "%s: %s: syntax OK, %u service%s\n", PROG, conf_path, n,
                     n == 1 ? "" : "s");
        return 0;
    }
    if (access(conf_path, R_OK) != 0)
        VLOG("[ERROR] Accessing %s: %m, continuing anyway.", conf_path);

    WAT_Init(trace, conf_path);
    // A file that would end the supervisor is refused while the caller still
    // sees the exit status, not after it detached and reported success.
    if (WAT_ConfCheck(conf_path) != 0)
        return EX_DATAERR_;

    if (!trace) {
        vpf_file *pfh = VDAEMON_PidOpen(pid_path.c_str());
        if (daemon(0, 0) != 0)
            VLOG("[WARN] daemon(0,0) failed: %m");
        // Standard error is the null device now: log to syslog alone.
        closelog();
        openlog(PROG, LOG_OPTS, LOG_DAEMON);
        if (VPF_Write(pfh) != 0)
            VLOG("[ERROR] NOTE: Could not write PID file");
    }

    WAT_readconf();
    // The pipe exists before the handlers that write into it.
    WAT_SignalPipe();
    WAT_Signals();
    WAT_Loop();
}
