// velhttpd: answers HTTP requests on TCP port 10005 with the response each
// request describes. Options, start-up and the accept loop.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "vdaemon.h"
#include "velhttpd_server.h"

namespace
{
[[noreturn]] void usage()
{
    VDAEMON_UsageLine("velhttpd", " [-d] [-F] [-P pid]\n");
}
} // namespace

int main(int argc, char **argv)
{
    int debug = 0;
    bool foreground = false;
    std::string pid_path = "/var/run/velhttpd.pid";
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
    VDAEMON_OpenLog("velhttpd");
    // Sends use MSG_NOSIGNAL; this covers anything else that writes to a
    // socket whose client has gone.
    std::signal(SIGPIPE, SIG_IGN);

    const char *what = nullptr;
    int s = httpd_listen(HTTPD_PORT, &what);
    if (s < 0) {
        std::perror(what);
        std::exit(1);
    }
    for (;;)
        httpd_accept_one(s);
}
