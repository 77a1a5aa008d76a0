// velechod: answers echo requests on port 10007, TCP and UDP, each on a
// thread of its own; other nodes' velmeshd measure their round trips here.
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "vas.h"
#include "vdaemon.h"
#include "velechod_tcp.h"
#include "velechod_udp.h"

namespace
{

[[noreturn]] void usage()
{
    VDAEMON_UsageLine("velechod", " [-d] [-F] [-P pid]\n");
}

} // namespace

int main(int argc, char **argv)
{
    std::string pid_path = "/var/run/velechod.pid";
    int debug = 0;
    bool foreground = false;
    int ch;
    while ((ch = getopt(argc, argv, "dFP:")) != -1) {
        switch (ch) {
        case 'd':
            debug++;
            break;
        case 'F':
            foreground = !foreground;
            break;
        case 'P':
            pid_path = optarg;
            break;
        default:
            usage();
        }
    }
    if (optind < argc) {
        VDAEMON_TooMany(argv[optind]);
        usage();
    }
    if (debug > 0 && foreground) {
        VDAEMON_OnlyOneDF();
        usage();
    }

    (void)VDAEMON_Start(pid_path.c_str(), foreground || debug > 0);
    VDAEMON_OpenLog("velechod");

    pthread_t udp, tcp;
    int o = pthread_create(&udp, nullptr, udp_thread, nullptr);
    VAS_ASSERT_TEXT(o == 0, "o == 0");
    o = pthread_create(&tcp, nullptr, tcp_thread, nullptr);
    VAS_ASSERT_TEXT(o == 0, "o == 0");
    o = pthread_join(udp, nullptr);
    VAS_ASSERT_TEXT(o == 0, "o == 0");
    o = pthread_join(tcp, nullptr);
    VAS_ASSERT_TEXT(o == 0, "o == 0");
    return 0;
}
