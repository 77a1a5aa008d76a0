// The echo request on the wire, the reply parser, and the UDP probe's rule
// that only a one-byte answer is a round trip.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "test_util.h"
#include "velmeshd_rtt.h"
#include "vlog.h"
#include "vtim.h"

namespace
{

// A reply as the raw socket delivers it: IP header of ihl words, then ICMP.
std::vector<uint8_t> reply(int type, uint16_t ident, struct timeval sent, int ihl = 5)
{
    std::vector<uint8_t> p(ihl * 4 + RTT_ICMP_LEN, 0);
    p[0] = static_cast<uint8_t>(0x40 | ihl);
    rtt_icmp_build(p.data() + ihl * 4, ident, 7, sent);
    p[ihl * 4] = static_cast<uint8_t>(type);
    return p;
}

TEST(rtt_icmp_wire, request_layout_and_checksum)
{
    std::vector<uint8_t> p = reply(8, 0xbeef, {1796652000, 123456}, 0);
    EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 8),
              (std::vector<uint8_t>{8, 0, p[2], p[3], 0xbe, 0xef, 0, 7}));
    int64_t t[2];
    std::memcpy(t, p.data() + 8, 16);
    EXPECT_EQ(t[0], 1796652000);
    EXPECT_EQ(t[1], 123456);
    EXPECT_EQ(rtt_cksum(p.data(), p.size()), 0); // verifies over itself
    const uint8_t rfc1071[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(rtt_cksum(rfc1071, sizeof rfc1071), static_cast<uint16_t>(~0xddf2));
}

TEST(rtt_icmp_wire, reply_parser)
{
    const struct timeval sent = {1000, 999900};
    struct {
        const char *what;
        std::vector<uint8_t> pkt;
        struct timeval now;
        rtt_reply want;
        int ms;
    } cases[] = {
        {"23.9 ms", reply(0, 42, sent), {1001, 23800}, rtt_reply::ok, 23},
        {"0.2 ms across a second", reply(0, 42, sent), {1001, 100}, rtt_reply::ok, 0},
        {"IP options", reply(0, 42, sent, 7), {1002, 999900}, rtt_reply::ok, 2000},
        {"unreachable", reply(3, 42, sent), {1001, 100}, rtt_reply::unexpected, -1},
        {"other process", reply(0, 43, sent), {1001, 100}, rtt_reply::foreign, -1},
        {"from the future", reply(0, 42, sent), {1000, 999899}, rtt_reply::malformed, -1},
        {"far past", reply(0, 42, {-(1L << 40), 0}), {1001, 0}, rtt_reply::malformed, -1},
        {"bad usec", reply(0, 42, {999, 1000000}), {1001, 0}, rtt_reply::malformed, -1},
    };
    for (const auto &c : cases) {
        int ms = 99;
        EXPECT_EQ(rtt_icmp_parse(c.pkt.data(), c.pkt.size(), 42, c.now, &ms), c.want) << c.what;
        EXPECT_EQ(ms, c.ms) << c.what;
    }
    // Cut short anywhere, or with a header length beyond what arrived.
    std::vector<uint8_t> full = reply(0, 42, sent);
    for (size_t len = 0; len < 20 + 24; len++) {
        int ms;
        EXPECT_EQ(rtt_icmp_parse(full.data(), len, 42, {1001, 0}, &ms), rtt_reply::malformed);
    }
    full[0] = 0x4f; // a 60-byte header
    int ms;
    EXPECT_EQ(rtt_icmp_parse(full.data(), 67, 42, {1001, 0}, &ms), rtt_reply::malformed);
}

// A loopback responder answering the probe's datagram with n bytes.
int udp_answering(size_t n)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    socklen_t l = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &l);
    std::thread th([fd, n] {
        char buf[16];
        struct sockaddr_in from;
        socklen_t fl = sizeof from;
        if (recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl) == 1)
            sendto(fd, "xyz", n, 0, reinterpret_cast<sockaddr *>(&from), fl);
    });
    int ms = rtt_udp("127.0.0.1", ntohs(sin.sin_port));
    th.join();
    close(fd);
    return ms;
}

// A node probed at one of its addresses answers from another (its kernel's
// choice); a datagram from some other port first is no answer.
int udp_answering_from(const char *probed, const char *answer_from, bool stray_first)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin); // any address
    socklen_t l = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &l);
    std::thread th([fd, answer_from, stray_first] {
        char buf[16];
        struct sockaddr_in from;
        socklen_t fl = sizeof from;
        if (recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl) != 1)
            return;
        if (stray_first) {
            int other = socket(AF_INET, SOCK_DGRAM, 0);
            sendto(other, "Q", 1, 0, reinterpret_cast<sockaddr *>(&from), fl);
            close(other);
        }
        struct in_pktinfo pi = {};
        inet_pton(AF_INET, answer_from, &pi.ipi_spec_dst);
        alignas(struct cmsghdr) char ctrl[CMSG_SPACE(sizeof pi)] = {};
        struct iovec iov = {buf, 1};
        struct msghdr msg = {};
        msg.msg_name = &from;
        msg.msg_namelen = fl;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = ctrl;
        msg.msg_controllen = sizeof ctrl;
        struct cmsghdr *c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof pi);
        std::memcpy(CMSG_DATA(c), &pi, sizeof pi);
        sendmsg(fd, &msg, 0);
    });
    int ms = rtt_udp(probed, ntohs(sin.sin_port));
    th.join();
    close(fd);
    return ms;
}

TEST(rtt_udp_probe, the_answer_counts_from_any_address_of_the_node_but_only_from_its_port)
{
    test_util::logged.clear();
    VLOG_SetSink(test_util::capture);
    const struct {
        const char *probed, *from;
        bool stray;
    } cases[] = {
        {"127.0.0.1", "127.0.0.1", false},
        {"127.0.0.2", "127.0.0.1", false},
        {"127.0.0.2", "127.0.0.2", true},
    };
    for (const auto &c : cases) {
        int ms = udp_answering_from(c.probed, c.from, c.stray);
        EXPECT_GE(ms, 0) << c.probed << " answered from " << c.from;
        EXPECT_LT(ms, RTT_WAIT_MS);
    }
    EXPECT_TRUE(test_util::logged.empty());
    VLOG_SetSink(nullptr);
}

// Nothing on the port: the node's port unreachable ends the wait at once.
TEST(rtt_udp_probe, a_refused_port_fails_at_once)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    socklen_t l = sizeof sin;
    getsockname(fd, reinterpret_cast<sockaddr *>(&sin), &l);
    close(fd); // the port is free now: nobody listens
    test_util::logged.clear();
    VLOG_SetSink(test_util::capture);
    double t0 = VTIM_mono();
    EXPECT_EQ(rtt_udp("127.0.0.1", ntohs(sin.sin_port)), -1);
    EXPECT_LT(VTIM_mono() - t0, 1.0);
    EXPECT_TRUE(test_util::has_line(LOG_ERR,
                                    "[ERROR] VELEC_00152: recvfrom error: 111 Connection refused"));
    VLOG_SetSink(nullptr);
}

TEST(rtt_udp_probe, only_a_one_byte_answer_is_a_round_trip)
{
    test_util::logged.clear();
    VLOG_SetSink(test_util::capture);
    int ms = udp_answering(1);
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, RTT_WAIT_MS);
    EXPECT_TRUE(test_util::logged.empty());
    EXPECT_EQ(udp_answering(2), -1);
    EXPECT_TRUE(test_util::has_line(LOG_ERR, "[ERROR] VELEC_00152: recvfrom error: 0 Success"));
    VLOG_SetSink(nullptr);
}

} // namespace
