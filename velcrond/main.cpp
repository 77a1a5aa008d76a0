// velcrond: tells the master server about the node every five minutes: new
// core files, which daemons are alive, and how busy the machine and its
// tunnel interface are.
#include <array>
#include <unistd.h>

#include "report_client.h"
#include "vdaemon.h"
#include "velcrond_cron.h"

namespace
{

constexpr std::array<vdaemon_option, 7> usage_options = {{
    {"-c", "Disable sending the core report."},
    {"-F", "Run in foreground"},
    {"-m", "Check extra processes"},
    {"-p", "Disable sending the process report."},
    {"-P file", "PID file"},
    {"-S", "Don't use default hostname"},
    {"-s", "Disable sending the machine report."},
}};

[[noreturn]] void usage()
{
    VDAEMON_Usage("velcrond", usage_options);
}

} // namespace

int main(int argc, char **argv)
{
    vdaemon_opts opts = VDAEMON_Opts("velcrond");
    cron_opts co;
    int ch;
    // Every flag flips at each use, so giving one twice cancels it.
    while ((ch = getopt(argc, argv, "cFmP:pSs")) != -1) {
        switch (ch) {
        case 'c':
            co.cmon = !co.cmon;
            break;
        case 'm':
            co.check_extra = !co.check_extra;
            break;
        case 'p':
            co.pmon = !co.pmon;
            break;
        case 's':
            co.smon = !co.smon;
            break;
        default:
            if (!VDAEMON_StdOption(&opts, ch, optarg))
                usage();
        }
    }
    if (optind < argc) {
        VDAEMON_TooMany(argv[optind]);
        usage();
    }
    co.alt = opts.alt_endpoint;

    (void)VDAEMON_Start(opts.pid_path.c_str(), opts.foreground);
    RC_InitOrExit();
    VDAEMON_OpenLog("velcrond");
    cron_init(co);
    cron_loop();
}
