#include "velechod_udp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vas.h"
#include "velechod_port.h"
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

int udp_echo_socket(int port, const char **what)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        *what = "socket";
        return -1;
    }
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(static_cast<uint16_t>(port));
    int on = 1;
    if (setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0)
        *what = "setsockopt";
    else if (bind(s, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0)
        *what = "bind";
    else
        return s;
    int err = errno;
    close(s);
    errno = err;
    return -1;
}

int udp_echo_one(int s, char *buf, size_t size)
{
    struct sockaddr_in from;
    alignas(struct cmsghdr) char ctrl[CMSG_SPACE(sizeof(struct in_pktinfo))];
    struct iovec iov = {buf, size};
    struct msghdr msg = {};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = ctrl;
    msg.msg_controllen = sizeof ctrl;
    ssize_t len = recvmsg(s, &msg, 0);
    socklen_t fromlen = msg.msg_namelen;
    if (len < 0) {
        int err = errno;
        VRATE_Log(&rl_recv, "[WARN] recvfrom(2) error: %d %s", err, std::strerror(err));
        return -1;
    }
    // The answer leaves from the address the datagram came to; only that
    // control message goes back (the interface is left to the routing).
    struct in_pktinfo pi = {};
    bool have_dst = false;
    for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            std::memcpy(&pi, CMSG_DATA(c), sizeof pi);
            have_dst = true;
        }
    struct in_pktinfo out = {};
    out.ipi_spec_dst = pi.ipi_addr;
    // A datagram to a broadcast or multicast address is answered from the
    // kernel's choice: such an address cannot be a source.
    uint32_t dst = ntohl(pi.ipi_addr.s_addr);
    if (dst == INADDR_BROADCAST || (dst >> 28) == 0xe)
        have_dst = false;
    alignas(struct cmsghdr) char octrl[CMSG_SPACE(sizeof out)] = {};
    struct iovec oiov = {buf, static_cast<size_t>(len)};
    struct msghdr omsg = {};
    omsg.msg_name = &from;
    omsg.msg_namelen = fromlen;
    omsg.msg_iov = &oiov;
    omsg.msg_iovlen = 1;
    if (have_dst) {
        omsg.msg_control = octrl;
        omsg.msg_controllen = sizeof octrl;
        struct cmsghdr *c = CMSG_FIRSTHDR(&omsg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof out);
        std::memcpy(CMSG_DATA(c), &out, sizeof out);
    }
    ssize_t ret = sendmsg(s, &omsg, 0);
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
    const char *what = nullptr;
    int s = udp_echo_socket(ECHO_PORT, &what);
    if (s < 0) {
        std::perror(what);
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
