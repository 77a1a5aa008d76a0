#include "velechod_udp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include "vas.h"
#include "velechod_tcp.h"
#include "vlog.h"
#include "vrate.h"

namespace
{
// A sender can make either line once per datagram.
vrate rl_recv{"recvfrom(2) error"};
vrate rl_send{"sendto(2) failed"};
} // namespace

void udp_log_flush()
{
    VRATE_Flush(&rl_recv);
    VRATE_Flush(&rl_send);
}

int udp_echo_one(int s, char *buf, size_t size)
{
    struct sockaddr_in from;
    socklen_t fromlen = sizeof from;
    ssize_t len = recvfrom(s, buf, size, 0, reinterpret_cast<struct sockaddr *>(&from), &fromlen);
    if (len < 0) {
        int err = errno;
        VRATE_Log(&rl_recv, "[WARN] recvfrom(2) error: %d %s", err, std::strerror(err));
        return -1;
    }
    ssize_t ret = sendto(s, buf, static_cast<size_t>(len), 0,
                         reinterpret_cast<struct sockaddr *>(&from), fromlen);
    if (ret != len) {
        // One sender the kernel will not answer (port 0, say) costs that
        // datagram only; everyone else is still served.
        int e = ret < 0 ? errno : EMSGSIZE;
        char addr[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &from.sin_addr, addr, sizeof addr) == nullptr)
            std::snprintf(addr, sizeof addr, "?");
        VRATE_Log(&rl_send, "[WARN] sendto(2) to %s:%u failed: %d %s", addr, ntohs(from.sin_port),
                  e, std::strerror(e));
        return -1;
    }
    return 0;
}

void *udp_thread(void *)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        std::perror("socket");
        std::exit(1);
    }
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(ECHO_PORT);
    if (bind(s, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    static char buf[UDP_DGRAM_MAX];
    for (;;) {
        fd_set rfds;
        FD_ZERO(&rfds);
        VAS_ASSERT_TEXT(s < FD_SETSIZE, "s < 1024");
        FD_SET(s, &rfds);
        int ret = select(s + 1, &rfds, nullptr, nullptr, nullptr);
        VAS_ASSERT_TEXT(ret != -1, "ret != -1");
        if (ret == 0)
            continue;
        VAS_ASSERT_TEXT(ret > 0, "ret > 0");
        (void)udp_echo_one(s, buf, sizeof buf);
    }
}
