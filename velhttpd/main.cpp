// velhttpd: answers HTTP requests on TCP port 10005 with the response each
// request describes. Options, start-up and the accept loop.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "vdaemon.h"
#include "velhttpd_server.h"

int main(int argc, char **argv)
{
    VDAEMON_ServerStart("velhttpd", argc, argv);
    // Connect to the system log now: when descriptors run out, the line
    // saying so must not need one.
    VDAEMON_OpenLog("velhttpd", LOG_PID | LOG_PERROR | LOG_NDELAY);
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
        httpd_loop_once(s);
}
