// velechod: answers echo requests on port 10007, TCP and UDP, each on a
// thread of its own; other nodes' velmeshd measure their round trips here.
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "vas.h"
#include "vdaemon.h"
#include "velechod_tcp.h"
#include "velechod_udp.h"

int main(int argc, char **argv)
{
    VDAEMON_ServerStart("velechod", argc, argv);
    // Connect to the system log now: when descriptors run out, the line
    // saying so must not need one.
    VDAEMON_OpenLog("velechod", LOG_PID | LOG_PERROR | LOG_NDELAY);

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
