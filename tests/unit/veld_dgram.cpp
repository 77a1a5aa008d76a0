// Datagram transports and the per-frame accounting: ICMP parsing and answers,
// the checksum, UDP limits, and the byte counts each frame adds.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "veld_dgram.h"
#include "veld_sess.h"
#include "veld_stat.h"
#include "veld_state.h"
#include "veld_tap.h"
#include "veld_tcp.h"
#include "vlog.h"
#include "veld_test_util.h"
#include "vtim.h"

using namespace veld_test;

namespace
{
// IPv4 packet with an ICMP message, as a raw socket delivers it.
std::vector<uint8_t> ipv4_icmp(const std::vector<uint8_t> &msg, size_t hlen = 20, uint8_t proto = 1)
{
    std::vector<uint8_t> p(hlen, 0);
    p[0] = 0x40 | static_cast<uint8_t>(hlen / 4);
    p[9] = proto;
    p.insert(p.end(), msg.begin(), msg.end());
    return p;
}

std::vector<uint8_t> echo(uint16_t id, uint16_t seq, const std::vector<uint8_t> &data, bool magic)
{
    std::vector<uint8_t> m = {
        8, 0, 0, 0, uint8_t(id >> 8), uint8_t(id), uint8_t(seq >> 8), uint8_t(seq)};
    // Byte by byte: g++ 12 at -O2 misreads a range insert into this vector as out of bounds.
    if (magic)
        for (uint8_t b : ICMP_TUNNEL_MAGIC)
            m.push_back(b);
    for (uint8_t b : data)
        m.push_back(b);
    return m;
}

class Dgram : public VeldTest
{
  protected:
    Dgram() : VeldTest(3000000) {}
    sockaddr_in client = ip4("198.51.100.20", 3333);
    const sockaddr *sa() const { return reinterpret_cast<const sockaddr *>(&client); }
    sess *udp_session(const std::vector<uint8_t> &f)
    {
        udp_rx(f.data(), f.size(), sa(), sizeof client);
        return sesst.sesslist_tail;
    }
};
} // namespace

TEST(IcmpCksum, KnownValuesAndOddLength)
{
    const uint8_t rfc[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    uint16_t c = icmp_cksum(rfc, sizeof rfc);
    const auto *cb = reinterpret_cast<const uint8_t *>(&c);
    EXPECT_EQ(cb[0], 0x22);
    EXPECT_EQ(cb[1], 0x0d);
    // Odd length: the last byte is padded with zero.
    const uint8_t odd[] = {0x00, 0x01, 0xf2};
    c = icmp_cksum(odd, sizeof odd);
    EXPECT_EQ(cb[0], static_cast<uint8_t>(~0xf2 & 0xff));
    EXPECT_EQ(cb[1], static_cast<uint8_t>(~0x01 & 0xff));
}

TEST_F(Dgram, OrdinaryPingIsAnswered)
{
    std::vector<uint8_t> data(37);
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<uint8_t>(i * 13);
    for (size_t hlen : {20, 24, 60}) { // with and without IPv4 options
        sends.clear();
        auto pkt = ipv4_icmp(echo(0x1234, 0x0506, data, false), hlen);
        icmp_rx(pkt.data(), pkt.size(), sa(), sizeof client);
        ASSERT_EQ(sends.size(), 1u) << hlen;
        auto &r = sends[0].bytes;
        auto req = echo(0x1234, 0x0506, data, false);
        ASSERT_EQ(r.size(), req.size());
        EXPECT_EQ(r[0], 0);
        EXPECT_EQ(icmp_cksum(r.data(), r.size()), 0);
        EXPECT_EQ(std::vector<uint8_t>(r.begin() + 4, r.end()),
                  std::vector<uint8_t>(req.begin() + 4, req.end()));
    }
    EXPECT_EQ(sesst.n_sess, 0u);

    auto notip = ipv4_icmp(echo(1, 1, data, false), 20, 17);
    icmp_rx(notip.data(), notip.size(), sa(), sizeof client);
    EXPECT_TRUE(logged("[WARN] Drop the packet; not ICMP"));
    auto reply = ipv4_icmp(echo(1, 1, data, false));
    reply[20] = 0;
    icmp_rx(reply.data(), reply.size(), sa(), sizeof client);
    EXPECT_TRUE(logged("[WARN] Drop the packet; not ICMP echo"));
    auto empty = ipv4_icmp({});
    icmp_rx(empty.data(), empty.size(), sa(), sizeof client);
    EXPECT_TRUE(logged("[WARN] Drop the packet; too short ICMP echo"));
    EXPECT_EQ(sends.size(), 1u); // none of the dropped ones was answered
}

TEST_F(Dgram, IcmpTunnelMessages)
{
    auto small = ipv4_icmp(echo(7, 9, eth(13, 0x0806), true));
    icmp_rx(small.data(), small.size(), sa(), sizeof client);
    EXPECT_TRUE(logged("[ERROR] too small packet for ICMP (from 198.51.100.20:3333 origin_len 45 "
                       "len 13 hlen 20)"));
    EXPECT_EQ(sesst.n_sess, 0u);

    auto pkt = ipv4_icmp(echo(7, 9, eth(14, 0x0806), true), 28);
    icmp_rx(pkt.data(), pkt.size(), sa(), sizeof client);
    ASSERT_EQ(sesst.n_sess, 1u);
    EXPECT_TRUE(logged("(mode ICMP n_sess 1)"));
    EXPECT_TRUE(sends.empty());
    EXPECT_EQ(tap_out.size(), 1u);
    sess *sp = sesst.sesslist_head;
    EXPECT_EQ(ntohs(sp->icmp_id), 7);
    EXPECT_EQ(ntohs(sp->icmp_seq), 9);

    // Messages must stay below 4096 bytes.
    std::vector<uint8_t> big(4096 - 12);
    icmp_tx(sp, big.data(), big.size());
    EXPECT_TRUE(sends.empty());
    icmp_tx(sp, big.data(), big.size() - 1);
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].bytes.size(), 4095u);
}

TEST_F(Dgram, UdpLimits)
{
    auto f = eth(13, 0x0806);
    udp_rx(f.data(), f.size(), sa(), sizeof client);
    EXPECT_EQ(sesst.n_sess, 0u);
    EXPECT_TRUE(logs.empty());
    f = eth(14, 0x0806);
    udp_rx(f.data(), f.size(), sa(), sizeof client);
    EXPECT_EQ(sesst.n_sess, 1u);
    f = eth(1501, 0x0806);
    udp_rx(f.data(), f.size(), sa(), sizeof client);
    EXPECT_TRUE(logged("[ERROR] Ooops, too big frame (1501) is received"));
    EXPECT_EQ(tap_out.size(), 2u);
}

namespace
{
ssize_t failing_sendto(int, const void *, size_t, const struct sockaddr *, socklen_t)
{
    errno = ENOBUFS;
    return -1;
}
double slow_mono = 0;
// Each reading is 1.5 s after the one before: every send looks slow.
double slow_clock()
{
    return slow_mono += 1.5;
}
} // namespace

TEST_F(Dgram, FailedSendsLoseTheFrameNotTheSession)
{
    sess *u = udp_session(eth(42, 0x0806));
    auto ping = ipv4_icmp(echo(1, 2, eth(60, 0x0806, nullptr, nullptr, 3), true));
    icmp_rx(ping.data(), ping.size(), sa(), sizeof client);
    sess *i = sesst.sesslist_tail;
    ASSERT_EQ(i->type, SESS_ICMP);
    auto down = eth(100, 0x0800, "203.0.113.50", "10.8.0.2");
    uint64_t utx = u->peer_usage.tx, itx = i->peer_usage.tx;

    dgram_sendto = failing_sendto;
    logs.clear();
    udp_tx(u, down.data(), down.size());
    udp_tx_bcast(u, down.data(), down.size());
    icmp_tx(i, down.data(), down.size());
    auto plain = ipv4_icmp(echo(5, 6, std::vector<uint8_t>(8, 1), false));
    icmp_rx(plain.data(), plain.size(), sa(), sizeof client);
    std::string e = std::strerror(ENOBUFS);
    EXPECT_EQ(logs, (std::vector<std::string>{"[ERROR] sendto(2) error: 105 " + e,
                                              "[WARN] sendto(2): 105 " + e,
                                              "[ERROR] sendto(2) for ICMP error: 105 " + e,
                                              "[WARN] sendto(2): 105 " + e}));
    // Nothing that did not leave is counted; both sessions stay.
    EXPECT_EQ(u->peer_usage.tx, utx);
    EXPECT_EQ(i->peer_usage.tx, itx);
    EXPECT_EQ(u->n_ip_usage, 0);
    EXPECT_EQ(sesst.n_sess, 2u);

    // A unicast send that holds the loop for more than a second is reported.
    dgram_sendto = fake_sendto;
    veld_clock_mono = slow_clock;
    logs.clear();
    udp_tx(u, down.data(), down.size());
    udp_tx_bcast(u, down.data(), down.size());
    veld_clock_mono = VTIM_mono;
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], "[CRIT] Took too long time for sendto(2): 1.500000");
    EXPECT_EQ(u->peer_usage.tx, utx + 2 * (100 + 28));
}

TEST_F(Dgram, AccountingPerTransport)
{
    // An ARP frame of 42 bytes from a UDP client.
    sess *u = udp_session(eth(42, 0x0806));
    EXPECT_EQ(u->other_usage.tx, 70u);
    EXPECT_EQ(u->peer_usage.rx, 70u);
    EXPECT_EQ(u->peer_usage.addr, client.sin_addr.s_addr);
    EXPECT_EQ(u->n_ip_usage, 0);

    // A 100-byte IPv4 frame sent to a TCP client and to an ICMP client.
    auto down = eth(100, 0x0800, "203.0.113.50", "10.8.0.2");
    uint32_t src;
    inet_pton(AF_INET, "203.0.113.50", &src);
    tcpconn *tc = tcp_new(-1, sa(), sizeof client);
    auto up = eth(60, 0x0806, nullptr, nullptr, 2);
    sess_rx(sa(), sizeof client, up.data(), up.size(), SESS_TCP, tc, nullptr);
    sess *t = sesst.sesslist_tail;
    t->peer_usage.tx = 0;
    sess_tx(t, down.data(), down.size());
    ASSERT_EQ(t->n_ip_usage, 1);
    EXPECT_EQ(t->ip_usage[0].addr, src);
    EXPECT_EQ(t->ip_usage[0].rx, 144u);
    EXPECT_EQ(t->peer_usage.tx, 144u);

    auto ping = ipv4_icmp(echo(1, 2, eth(60, 0x0806, nullptr, nullptr, 3), true));
    icmp_rx(ping.data(), ping.size(), sa(), sizeof client);
    sess *i = sesst.sesslist_tail;
    ASSERT_EQ(i->type, SESS_ICMP);
    EXPECT_EQ(i->peer_usage.rx, 60u + 32);
    EXPECT_EQ(i->other_usage.tx, 60u + 28);
    sess_tx(i, down.data(), down.size());
    EXPECT_EQ(i->ip_usage[0].rx, 128u);
    EXPECT_EQ(i->peer_usage.tx, 132u);

    // Frames without a usable IPv4 address.
    uint64_t before = u->other_usage.rx;
    for (auto f : {eth(30, 0x0800, "1.2.3.4"), eth(10, 0), eth(60, 0x0800, "0.0.0.0"),
                   eth(60, 0x0800, "255.255.255.255"), eth(60, 0x86dd)})
        sess_stat_backend(u, STAT_RX, STAT_DIR_SRC, SESS_UDP, f.data(), f.size());
    EXPECT_EQ(u->other_usage.rx, before + 30 + 10 + 60 * 3 + 28 * 5);
    EXPECT_EQ(u->n_ip_usage, 0);

    sess_stat_transport(u, 3, SESS_UDP, 0, 50);
    EXPECT_TRUE(logged("[ERROR] unknown rxtx 3 type 1 len 50"));
}

TEST_F(Dgram, AddressTableHolds2048)
{
    sess *u = udp_session(eth(42, 0x0806));
    auto f = eth(60, 0x0800, nullptr, nullptr);
    for (uint32_t k = 1; k <= 2048; k++) {
        uint32_t a = htonl(0x0b000000u + k);
        std::memcpy(&f[30], &a, 4);
        sess_stat_backend(u, STAT_TX, STAT_DIR_DST, SESS_UDP, f.data(), f.size());
    }
    EXPECT_EQ(u->n_ip_usage, 2048);
    EXPECT_FALSE(logged("VELEC_00153"));
    uint32_t a = htonl(0x0b000000u + 5000);
    std::memcpy(&f[30], &a, 4);
    uint64_t other = u->other_usage.tx, peer = u->peer_usage.rx;
    udp_rx(f.data(), f.size(), sa(), sizeof client);
    EXPECT_TRUE(logged("[ERROR] VELEC_00153: Too many IP address table from 198.51.100.20:3333"));
    EXPECT_EQ(u->other_usage.tx, other);
    EXPECT_EQ(u->peer_usage.rx, peer + 88);
    a = htonl(0x0b000000u + 2048);
    std::memcpy(&f[30], &a, 4);
    udp_rx(f.data(), f.size(), sa(), sizeof client);
    EXPECT_EQ(u->ip_usage[2047].tx, 2u * 88);
}

namespace
{
// The fake socket's waiting datagrams; what the fake sendmmsg(2) took, and
// the datagrams it offered per call. Datagram number fail_at (counted over
// all offered) is refused: an error after the first of a call ends the call
// early and comes back from the next, as the kernel does it.
std::vector<std::pair<std::vector<uint8_t>, sockaddr_in>> inbox;
std::vector<sent> mmsg_out;
std::vector<unsigned> mmsg_calls;
size_t offered, fail_at;

int fake_recvmmsg(int, mmsghdr *m, unsigned n, int flags)
{
    unsigned k = 0;
    for (; k < n && k < inbox.size() && (flags & MSG_DONTWAIT); k++) {
        auto &[bytes, from] = inbox[k];
        m[k].msg_len = static_cast<unsigned>(std::min(bytes.size(), size_t{DGRAM_BUF_SIZE}));
        std::memcpy(m[k].msg_hdr.msg_iov[0].iov_base, bytes.data(), m[k].msg_len);
        std::memcpy(m[k].msg_hdr.msg_name, &from, sizeof from);
    }
    inbox.erase(inbox.begin(), inbox.begin() + k);
    errno = k == 0 ? EAGAIN : 0;
    return k == 0 ? -1 : static_cast<int>(k);
}

int fake_sendmmsg(int fd, mmsghdr *m, unsigned n, int)
{
    mmsg_calls.push_back(n);
    for (unsigned k = 0; k < n; k++, offered++) {
        if (offered == fail_at && k > 0)
            return static_cast<int>(k);
        if (offered == fail_at) {
            offered++;
            errno = EPERM;
            return -1;
        }
        auto &iov = m[k].msg_hdr.msg_iov[0];
        auto *b = static_cast<const uint8_t *>(iov.iov_base);
        auto *to = static_cast<const sockaddr_in *>(m[k].msg_hdr.msg_name);
        mmsg_out.push_back({fd, {b, b + iov.iov_len}, ntohs(to->sin_port)});
        m[k].msg_len = static_cast<unsigned>(iov.iov_len);
    }
    return static_cast<int>(n);
}

class DgramBatch : public Dgram
{
  protected:
    void SetUp() override
    {
        Dgram::SetUp();
        inbox.clear();
        mmsg_out.clear();
        mmsg_calls.clear();
        offered = 0;
        fail_at = SIZE_MAX;
        dgram_recvmmsg = fake_recvmmsg;
        dgram_sendmmsg = fake_sendmmsg;
    }
    void TearDown() override
    {
        dgram_batching(false);
        Dgram::TearDown();
    }
};
} // namespace

// Every datagram of a batch is handled as it would be alone: a malformed one
// in the middle is dropped with its own line and the rest go on.
TEST_F(DgramBatch, ReceiveTakesEveryReadyDatagramUpToTheBound)
{
    sockaddr_in b = ip4("198.51.100.21", 4444);
    inbox = {{eth(60, 0x0806), client},
             {std::vector<uint8_t>(13, 7), client},
             {eth(1600, 0x0806), client},
             {eth(60, 0x0806, nullptr, nullptr, 2), b}};
    EXPECT_EQ(udp_rx_batch(), 4);
    EXPECT_EQ(tap_out.size(), 3u);
    EXPECT_TRUE(logged("[ERROR] Ooops, too big frame (1600) is received"));
    EXPECT_EQ(sesst.n_sess, 2u);

    inbox.assign(70, {eth(60, 0x0806), client});
    EXPECT_EQ(udp_rx_batch(), 64);
    EXPECT_EQ(udp_rx_batch(), 6);
    // Nothing ready is no failure; a failing receive is (the loop then
    // leaves the UDP socket to the next turn).
    logs.clear();
    EXPECT_EQ(icmp_rx_batch(), 0);
    EXPECT_TRUE(logs.empty());
    dgram_recvmmsg = [](int, mmsghdr *, unsigned, int) {
        errno = ECONNREFUSED;
        return -1;
    };
    EXPECT_EQ(icmp_rx_batch(), -1);
    EXPECT_EQ(logs, std::vector<std::string>{"[ERROR] recvfrom(2) error: 111 " +
                                             std::string(std::strerror(ECONNREFUSED))});
}

// Queued sends leave by sendmmsg(2) with the bytes, accounting and error
// lines of single sends; one that fails loses only its own frame.
TEST_F(DgramBatch, AFailedSendLosesOnlyItsFrame)
{
    sess *u1 = udp_session(eth(42, 0x0806));
    client.sin_port = htons(3334);
    sess *u2 = udp_session(eth(42, 0x0806, nullptr, nullptr, 2));
    auto ping = ipv4_icmp(echo(1, 2, eth(60, 0x0806, nullptr, nullptr, 3), true));
    icmp_rx(ping.data(), ping.size(), sa(), sizeof client);
    sess *ic = sesst.sesslist_tail;
    auto down = eth(100, 0x0800, "203.0.113.50", "10.8.0.2");
    sends.clear();
    udp_tx(u1, down.data(), down.size());
    icmp_tx(ic, down.data(), down.size());
    auto single = sends; // as single sends put them on the wire
    uint64_t tx1 = u1->peer_usage.tx, tx2 = u2->peer_usage.tx, txi = ic->peer_usage.tx;

    dgram_batching(true);
    logs.clear();
    udp_tx(u1, down.data(), down.size());
    udp_tx(u2, down.data(), down.size()); // refused
    icmp_tx(ic, down.data(), down.size());
    udp_tx_bcast(u1, down.data(), down.size());
    EXPECT_EQ(dgram_queued(), 4u);
    EXPECT_EQ(u1->peer_usage.tx, tx1) << "counted when sent, not when queued";
    fail_at = 1;
    dgram_flush();
    EXPECT_EQ(mmsg_calls, (std::vector<unsigned>{3, 2, 1, 1}));
    ASSERT_EQ(mmsg_out.size(), 3u);
    EXPECT_EQ(mmsg_out[0].bytes, single[0].bytes);
    EXPECT_EQ(mmsg_out[1].port, 3333);             // the broadcast copy after the refused one
    EXPECT_EQ(mmsg_out[2].bytes, single[1].bytes); // checksum and all
    EXPECT_EQ(logs, std::vector<std::string>{"[ERROR] sendto(2) error: 1 " +
                                             std::string(std::strerror(EPERM))});
    EXPECT_EQ(u1->peer_usage.tx, tx1 + 2 * (100 + 28));
    EXPECT_EQ(u2->peer_usage.tx, tx2);
    EXPECT_EQ(ic->peer_usage.tx, txi + 100 + 32);

    // A full queue goes out before the next frame joins it.
    mmsg_calls.clear();
    for (int i = 0; i < 70; i++)
        udp_tx(u1, down.data(), down.size());
    EXPECT_EQ(mmsg_calls, std::vector<unsigned>{64});
    dgram_flush();
    EXPECT_EQ(mmsg_calls, (std::vector<unsigned>{64, 6}));
}
