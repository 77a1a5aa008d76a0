// velurd: relays UDP datagrams for clients. Options, start-up and the loop.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "vdaemon.h"
#include "velurd_relay.h"

int main(int argc, char **argv)
{
    VDAEMON_ServerStart("velurd", argc, argv);
    // Connect to the system log now: when descriptors run out, the line
    // saying so must not need one.
    VDAEMON_OpenLog("velurd", LOG_PID | LOG_PERROR | LOG_NDELAY);

    const char *what = nullptr;
    if (urd_listen(URD_PORT, &what) < 0) {
        std::perror(what);
        std::exit(1);
    }
    urd_local_refresh(true);
    for (;;)
        urd_loop_once();
}
