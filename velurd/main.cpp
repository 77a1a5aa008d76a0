// velurd: relays UDP datagrams for clients. Options, start-up and the loop.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "vdaemon.h"
#include "velurd_relay.h"

namespace
{
[[noreturn]] void usage()
{
    VDAEMON_UsageLine("velurd", " [-d] [-F] [-P pid]\n");
}
} // namespace

int main(int argc, char **argv)
{
    int debug = 0;
    bool foreground = false;
    std::string pid_path = "/var/run/velurd.pid";
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

    vpf_file *pfh = VDAEMON_PidOpen(pid_path.c_str());
    if (debug == 0 && !foreground)
        VDAEMON_Detach();
    (void)VDAEMON_PidWrite(pfh);
    VDAEMON_OpenLog("velurd");

    const char *what = nullptr;
    if (urd_listen(URD_PORT, &what) < 0) {
        std::perror(what);
        std::exit(1);
    }
    for (;;)
        urd_loop_once();
}
