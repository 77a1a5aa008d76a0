// velrttd: measures the round-trip time to the reserved nodes veltalkd names
// and reports each back to it, in an endless fetch-measure-report cycle.
#include <arpa/inet.h>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "vdaemon.h"
#include "vel_config.h"
#include "velrttd_cycle.h"
#include "velrttd_list.h"

namespace
{

constexpr unsigned CYCLE_PAUSE_SEC = 1;

constexpr std::array<vdaemon_option, 7> usage_options = {{
    {"-F", "Runs at forground"},
    {"-p veltalkd_port", "Sets veltalkd port"},
    {"-P pid", "Sets PID file"},
    {"-r velrttd_port", "Sets velrttd port"},
    {"-s sleeptime", "Sets RTT test interval"},
    {"-S veltalkd_ip", "Sets veltalkd IP address"},
    {"-v", "Increase the verbosity"},
}};

[[noreturn]] void usage()
{
    VDAEMON_Usage("velrttd", usage_options);
}

// Accepted for the command lines that give them; this daemon does not use them.
struct unused_opts {
    uint16_t velrttd_port = 10011;
    int sleeptime = 300;
} unused;

} // namespace

int main(int argc, char **argv)
{
    vdaemon_opts opts = VDAEMON_Opts("velrttd");
    const char *talk_ip = VEL_MASTER_IP;
    int ch;
    while ((ch = getopt(argc, argv, "2Fp:P:r:s:S:v")) != -1) {
        switch (ch) {
        case '2':
            std::fprintf(stderr, "[WARN] -2 option is deprecated.\n");
            break;
        case 'F':
        case 'P':
            (void)VDAEMON_StdOption(&opts, ch, optarg);
            break;
        case 'p':
            talk.port = (uint16_t)std::atoi(optarg);
            break;
        case 'r':
            unused.velrttd_port = (uint16_t)std::atoi(optarg);
            break;
        case 's':
            unused.sleeptime = std::atoi(optarg);
            break;
        case 'S':
            talk_ip = optarg;
            break;
        case 'v':
            rtt.verbose++;
            break;
        default:
            usage();
        }
    }
    if (optind < argc) {
        VDAEMON_TooMany(argv[optind]);
        usage();
    }
    if (inet_aton(talk_ip, &talk.ip) == 0) {
        std::fprintf(stderr, "Invalid veltalkd IP address: %s\n", talk_ip);
        usage();
    }

    (void)VDAEMON_Start(opts.pid_path.c_str(), opts.foreground);
    VDAEMON_OpenLog("velrttd");
    for (;;) {
        rtt_cycle();
        sleep(CYCLE_PAUSE_SEC);
    }
}
