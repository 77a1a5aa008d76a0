#include "velmeshd_rtt.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <linux/errqueue.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vas.h"
#include "vlog.h"
#include "vtcp.h"
#include "vtim.h"

rtt_state rtt = {0};

namespace
{

constexpr size_t ICMP_TIME_OFF = 8; // send time inside the ICMP message
constexpr size_t ICMP_TIME_END = ICMP_TIME_OFF + 16;
// Seconds a round trip may span and still fit the millisecond result.
constexpr int64_t RTT_SPAN_MAX = INT_MAX / 1000 - 1;

// Closes the probe's socket on every way out.
struct fd_owner {
    int fd;
    explicit fd_owner(int f) : fd(f) {}
    fd_owner(const fd_owner &) = delete;
    fd_owner &operator=(const fd_owner &) = delete;
    ~fd_owner()
    {
        if (fd >= 0)
            VAS_ASSERT_TEXT(close(fd) == 0, "(close(fd)) == 0");
    }
};

struct sockaddr_in node_addr(const char *address, int port)
{
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(port));
    // Node lines with an address that does not convert never enter the table.
    VAS_ASSERT_TEXT(inet_aton(address, &sin.sin_addr) != 0,
                    "inet_aton(address, &sin.sin_addr) != 0");
    return sin;
}

// The error an ICMP message queued on the probe's socket reports (such as
// ECONNREFUSED for a port unreachable), or 0 when none is queued. Errors
// of other origins are taken off the queue and ignored.
int rtt_udp_refused(int s)
{
    for (;;) {
        char ctrl[512];
        char data[64];
        struct sockaddr_in offender;
        struct iovec iov = {data, sizeof data};
        struct msghdr msg = {};
        msg.msg_name = &offender;
        msg.msg_namelen = sizeof offender;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = ctrl;
        msg.msg_controllen = sizeof ctrl;
        if (recvmsg(s, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            return 0;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
                continue;
            struct sock_extended_err ee;
            std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
            if (ee.ee_origin == SO_EE_ORIGIN_ICMP && ee.ee_errno != 0) {
                // The pending socket error says the same; take it too.
                int err = 0;
                socklen_t len = sizeof err;
                (void)getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
                return static_cast<int>(ee.ee_errno);
            }
        }
    }
}

// 1 when fd became ready for events within RTT_WAIT_MS, 0 on time-out, -1
// when the wait failed.
int wait_ready(int fd, short events)
{
    struct pollfd pfd = {fd, events, 0};
    return poll(&pfd, 1, RTT_WAIT_MS);
}

int elapsed_ms(double t0, double t1)
{
    return static_cast<int>((t1 - t0) * 1000.0);
}

} // namespace

uint16_t rtt_cksum(const uint8_t *p, size_t len)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (len & 1)
        sum += static_cast<uint32_t>(p[len - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void rtt_icmp_build(uint8_t *pkt, uint16_t ident, uint16_t seq, const struct timeval &sent)
{
    std::memset(pkt, 0, RTT_ICMP_LEN);
    pkt[0] = ICMP_ECHO;
    pkt[1] = 0;
    uint16_t n = htons(ident);
    std::memcpy(pkt + 4, &n, 2);
    n = htons(seq);
    std::memcpy(pkt + 6, &n, 2);
    int64_t sec = sent.tv_sec, usec = sent.tv_usec;
    std::memcpy(pkt + ICMP_TIME_OFF, &sec, 8);
    std::memcpy(pkt + ICMP_TIME_OFF + 8, &usec, 8);
    n = htons(rtt_cksum(pkt, RTT_ICMP_LEN));
    std::memcpy(pkt + 2, &n, 2);
}

rtt_reply rtt_icmp_parse(const uint8_t *pkt, size_t len, uint16_t ident, const struct timeval &now,
                         int *ms)
{
    AN(ms);
    *ms = -1;
    if (len < 1)
        return rtt_reply::malformed;
    AN(pkt);
    size_t hlen = static_cast<size_t>(pkt[0] & 0x0f) * 4;
    // The type and identifier must lie inside what arrived.
    if (hlen < 20 || len < hlen + 8)
        return rtt_reply::malformed;
    const uint8_t *icmp = pkt + hlen;
    if (icmp[0] != ICMP_ECHOREPLY)
        return rtt_reply::unexpected;
    uint16_t id;
    std::memcpy(&id, icmp + 4, 2);
    if (ntohs(id) != ident)
        return rtt_reply::foreign;
    if (len < hlen + ICMP_TIME_END)
        return rtt_reply::malformed;
    int64_t sec, usec;
    std::memcpy(&sec, icmp + ICMP_TIME_OFF, 8);
    std::memcpy(&usec, icmp + ICMP_TIME_OFF + 8, 8);
    // The reply carries our own send time back; anything that does not
    // describe a moment within the last few seconds is not our echo.
    if (usec < 0 || usec >= 1000000 || sec > now.tv_sec || sec < now.tv_sec - RTT_SPAN_MAX)
        return rtt_reply::malformed;
    int64_t d = (static_cast<int64_t>(now.tv_sec) - sec) * 1000000 + (now.tv_usec - usec);
    if (d < 0)
        return rtt_reply::malformed;
    *ms = static_cast<int>(d / 1000);
    return rtt_reply::ok;
}

int rtt_icmp(const char *address)
{
    int s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (s < 0) {
        if (errno == EPERM)
            VLOG("[ERROR] ICMP echo feature must run as root");
        else
            std::perror("ping: socket");
        return -1;
    }
    fd_owner owner(s);

    struct icmp_filter filt = {RTT_ICMP_FILTER};
    if (setsockopt(s, SOL_RAW, ICMP_FILTER, &filt, sizeof filt) != 0) {
        VLOG("[ERROR] setsockopt(2) error");
        return -1;
    }
    struct sockaddr_in sin = node_addr(address, 0);
    // Connected: only packets from that node arrive.
    if (connect(s, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0)
        return -1;

    uint16_t ident = static_cast<uint16_t>(getpid() & 0xffff);
    uint8_t pkt[RTT_ICMP_LEN];
    struct timeval sent;
    AZ(gettimeofday(&sent, nullptr));
    rtt_icmp_build(pkt, ident, rtt.icmp_seq++, sent);
    ssize_t n = send(s, pkt, sizeof pkt, 0);
    if (n < 0)
        std::perror("ICMP ping: sendto");
    if (n != static_cast<ssize_t>(sizeof pkt))
        return -1;

    if (wait_ready(s, POLLIN) <= 0)
        return -1;
    uint8_t rx[RTT_ICMP_RXMAX];
    n = recv(s, rx, sizeof rx, 0);
    if (n <= 0)
        return -1;
    struct timeval now;
    AZ(gettimeofday(&now, nullptr));
    int ms;
    switch (rtt_icmp_parse(rx, static_cast<size_t>(n), ident, now, &ms)) {
    case rtt_reply::ok:
        return ms;
    case rtt_reply::unexpected:
        VLOG("[WARN] Got unexpected ICMP response.");
        return -1;
    case rtt_reply::foreign:
    case rtt_reply::malformed:
        return -1;
    }
    return -1;
}

int rtt_udp(const char *address, int port)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return -1;
    fd_owner owner(s);
    struct sockaddr_in sin = node_addr(address, port);
    // Not connected: a node probed at one of its other addresses answers
    // from whichever address its kernel picks, so the reply is taken from
    // the node's echo port whatever its address. The node's port-unreachable
    // answer still ends the wait, through the socket's error queue.
    int on = 1;
    if (setsockopt(s, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0)
        return -1;
    double t0 = VTIM_mono();
    if (sendto(s, "P", 1, 0, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 1)
        return -1;
    const double deadline = t0 + RTT_WAIT_MS / 1000.0;
    char buf[RTT_UDP_RXMAX];
    for (;;) {
        double left = deadline - VTIM_mono();
        if (left <= 0)
            return -1;
        struct pollfd pfd = {s, POLLIN, 0};
        int r = poll(&pfd, 1, static_cast<int>(left * 1000) + 1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return -1;
        int e = rtt_udp_refused(s);
        if (e == 0 && (pfd.revents & POLLIN) == 0)
            continue; // an error queued for someone else's packet
        struct sockaddr_in from;
        socklen_t fromlen = sizeof from;
        ssize_t n = e != 0 ? -1
                           : recvfrom(s, buf, sizeof buf, MSG_DONTWAIT,
                                      reinterpret_cast<struct sockaddr *>(&from), &fromlen);
        if (n < 0 && e == 0) {
            e = errno;
            if (e == EAGAIN || e == EINTR)
                continue;
        }
        // Something else that sent to our port is no answer.
        if (n >= 0 && (from.sin_family != AF_INET || from.sin_port != sin.sin_port))
            continue;
        if (n != 1) {
            VLOG("[ERROR] VELEC_00152: recvfrom error: %d %s", e, std::strerror(e));
            return -1;
        }
        return elapsed_ms(t0, VTIM_mono());
    }
}

int rtt_tcp(const char *address, int port)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    fd_owner owner(s);
    if (VTCP_nonblocking(s) != 0)
        return -1;
    struct sockaddr_in sin = node_addr(address, port);
    double t0 = VTIM_mono();
    if (connect(s, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0) {
        if (errno != EINPROGRESS) {
            VLOG("[ERROR] connect(2) fail: %d", errno);
            return -1;
        }
        // Accepted or refused, either answer ends the wait: the time until
        // the node answered is what is measured.
        if (wait_ready(s, POLLOUT) <= 0)
            return -1;
    }
    return elapsed_ms(t0, VTIM_mono());
}
