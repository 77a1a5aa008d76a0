// Session table: hashing, the local-address rule, matching per transport,
// switching between sessions and the TAP device, and expiry.
#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "vas.h"
#include "veld_dgram.h"
#include "veld_sess.h"
#include "veld_shmlog.h"
#include "veld_state.h"
#include "veld_tap.h"
#include "veld_tcp.h"
#include "veld_test_util.h"
#include "vlog.h"
#include "vrate.h"
#include "test_util.h"

using namespace veld_test;

namespace
{
std::vector<uint8_t> frame(uint8_t dst_last, uint8_t src_last, size_t len = 60)
{
    std::vector<uint8_t> f(len, 0);
    const uint8_t base[6] = {0x02, 0, 0, 0, 0, 0};
    std::memcpy(&f[0], base, 6);
    std::memcpy(&f[6], base, 6);
    f[5] = dst_last;
    f[11] = src_last;
    if (dst_last == 0xff)
        std::memset(&f[0], 0xff, 6);
    f[12] = 0x08;
    f[13] = 0x06;
    return f;
}

void rx_udp(const sockaddr_in &sin, const std::vector<uint8_t> &f, int *created = nullptr)
{
    sess_rx(reinterpret_cast<const sockaddr *>(&sin), sizeof sin, f.data(), f.size(), SESS_UDP,
            nullptr, created);
}

class Sess : public VeldTest
{
  protected:
    void SetUp() override
    {
        veld = veld_state{};
        veld.udp_fd = 5;
        veld.icmp_fd = 6;
        VeldTest::SetUp();
    }
};
} // namespace

TEST(SessHash, BucketExamples)
{
    const uint8_t a[6] = {0, 0, 0, 0, 0, 0}, b[6] = {2, 0, 0, 0, 0, 1},
                  c[6] = {0x52, 0x54, 0, 0x12, 0x34, 0x56};
    EXPECT_EQ(sess_hash(a), 0x71c0e70bu);
    EXPECT_EQ(sess_hash(a) & 511, 267u);
    EXPECT_EQ(sess_hash(b), 0xff0f7690u);
    EXPECT_EQ(sess_hash(b) & 511, 144u);
    EXPECT_EQ(sess_hash(c), 0x5f969b6du);
    EXPECT_EQ(sess_hash(c) & 511, 365u);

    uint32_t mask;
    for (auto [n, want] : {std::pair{512, 511u}, {500, 255u}, {1023, 511u}, {1, 0u}}) {
        sess_bucket *t = sessinit(n, &mask);
        EXPECT_EQ(mask, want) << n;
        free(t);
    }
}

TEST_F(Sess, LocalAddressesCreateNoSession)
{
    inet_pton(AF_INET, "203.0.113.7", &tapst.public_ip);
    for (const char *h : {"10.1.2.3", "172.20.0.1", "192.168.1.1", "169.254.0.1", "127.0.0.1",
                          "203.0.113.7", "172.16.0.0", "172.31.255.255"}) {
        int created = 7;
        rx_udp(ip4(h, 4000), frame(0x99, 1), &created);
        EXPECT_EQ(created, 7) << h;
    }
    EXPECT_EQ(sesst.n_sess, 0u);
    EXPECT_TRUE(tap_out.empty());
    for (const char *h : {"172.32.0.1", "172.15.255.255", "11.0.0.1", "192.169.0.1"}) {
        int created = 7;
        rx_udp(ip4(h, 4000), frame(0x99, 1), &created);
        EXPECT_EQ(created, 1) << h;
    }
    EXPECT_EQ(sesst.n_sess, 4u);
    EXPECT_TRUE(logged("[INFO] The session ("));
    EXPECT_TRUE(logged("2:0:0:0:0:1 is created from 172.32.0.1:4000 (mode UDP n_sess 1)"));
    // Without a public address set, nothing but the private ranges is local.
    tapst.public_ip = 0xffffffffu;
    auto s = ip4("203.0.113.7", 1);
    EXPECT_FALSE(sess_is_local(reinterpret_cast<sockaddr *>(&s), sizeof s));
}

TEST_F(Sess, UdpSwitching)
{
    auto a1 = ip4("198.51.100.1", 1000), a2 = ip4("198.51.100.1", 1001),
         b = ip4("198.51.100.2", 2000);
    int created;
    rx_udp(a1, frame(0x99, 1), &created); // unknown destination: TAP only
    EXPECT_EQ(created, 1);
    EXPECT_EQ(tap_out.size(), 1u);
    rx_udp(a1, frame(0x99, 1), &created);
    EXPECT_EQ(created, 0);
    // Same MAC from another port: a second session, which wins unicast.
    rx_udp(a2, frame(0x99, 1), &created);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(sesst.n_sess, 2u);
    tap_out.clear();
    rx_udp(b, frame(1, 2));
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].port, 1001);
    EXPECT_EQ(sends[0].fd, 5);
    EXPECT_TRUE(tap_out.empty());

    // Broadcast from b: every other session and the TAP device, never b itself.
    sends.clear();
    rx_udp(b, frame(0xff, 2));
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].port, 1000); // oldest first
    EXPECT_EQ(sends[1].port, 1001);
    EXPECT_EQ(tap_out.size(), 1u);

    // From the TAP device: unicast to a known MAC, broadcast to all, unknown dropped.
    sends.clear();
    auto f = frame(2, 0x50);
    tap_input(f.data(), f.size());
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].port, 2000);
    f = frame(0xff, 0x50);
    tap_input(f.data(), f.size());
    EXPECT_EQ(sends.size(), 4u);
    f = frame(0x77, 0x50);
    tap_input(f.data(), f.size());
    EXPECT_EQ(sends.size(), 4u);
    EXPECT_TRUE(logged("[WARN] No session is found"));
}

TEST_F(Sess, TapInputLengths)
{
    rx_udp(ip4("198.51.100.1", 1000), frame(0x99, 1));
    sends.clear();
    auto f = frame(1, 0x50, 1501);
    tap_input(f.data(), 1500);
    EXPECT_EQ(sends.size(), 1u);
    for (ssize_t n : {1501, 0, 3}) {
        logs.clear();
        tap_input(f.data(), n);
        EXPECT_TRUE(logged("[ERROR] VELEC_00149: wrong len " + std::to_string(n) +
                           " from tap(4). Skipped a frame"));
    }
    EXPECT_EQ(sends.size(), 1u);
}

TEST_F(Sess, IcmpSequenceIsTheKey)
{
    auto a = ip4("198.51.100.9", 0);
    icmp_origin o1{htons(11), htons(7)};
    auto f = frame(0x99, 3);
    sess_rx(reinterpret_cast<sockaddr *>(&a), sizeof a, f.data(), f.size(), SESS_ICMP, &o1,
            nullptr);
    ASSERT_EQ(sesst.n_sess, 1u);
    sess *sp = sesst.sesslist_head;
    EXPECT_TRUE(logged("(mode ICMP n_sess 1)"));
    // New identifier, same sequence number: same session, follows the identifier.
    icmp_origin o2{htons(12), htons(7)};
    sess_rx(reinterpret_cast<sockaddr *>(&a), sizeof a, f.data(), f.size(), SESS_ICMP, &o2,
            nullptr);
    EXPECT_EQ(sesst.n_sess, 1u);
    EXPECT_EQ(sp->icmp_id, htons(12));
    EXPECT_EQ(sp->icmp_seq, htons(7));
    // Another sequence number: another session.
    icmp_origin o3{htons(12), htons(8)};
    sess_rx(reinterpret_cast<sockaddr *>(&a), sizeof a, f.data(), f.size(), SESS_ICMP, &o3,
            nullptr);
    EXPECT_EQ(sesst.n_sess, 2u);

    // Replies carry the identifier and sequence number as stored.
    auto rf = frame(3, 0x50);
    sess_tx(sp, rf.data(), rf.size());
    ASSERT_EQ(sends.size(), 1u);
    const auto &m = sends[0].bytes;
    EXPECT_EQ(sends[0].fd, 6);
    ASSERT_EQ(m.size(), 12 + rf.size());
    EXPECT_EQ(m[0], 0);
    EXPECT_EQ(m[4] << 8 | m[5], 12);
    EXPECT_EQ(m[6] << 8 | m[7], 7);
    EXPECT_EQ(0, std::memcmp(&m[8], ICMP_TUNNEL_MAGIC, 4));
    EXPECT_EQ(icmp_cksum(m.data(), m.size()), 0); // a correct checksum sums to zero
    EXPECT_EQ(0, std::memcmp(&m[12], rf.data(), rf.size()));
}

TEST_F(Sess, TcpSessionsPerConnection)
{
    auto a = ip4("198.51.100.3", 5555);
    tcpconn *t1 = tcp_new(-1, reinterpret_cast<sockaddr *>(&a), sizeof a);
    tcpconn *t2 = tcp_new(-1, reinterpret_cast<sockaddr *>(&a), sizeof a);
    auto f = frame(0x99, 4);
    int created;
    sess_rx(reinterpret_cast<sockaddr *>(&a), sizeof a, f.data(), f.size(), SESS_TCP, t1, &created);
    EXPECT_EQ(created, 1);
    sess_rx(reinterpret_cast<sockaddr *>(&a), sizeof a, f.data(), f.size(), SESS_TCP, t1, &created);
    EXPECT_EQ(created, 0);
    EXPECT_FALSE(logged("multiple sessions"));
    // Same address, port and MAC on another connection: error line, own session.
    sess_rx(reinterpret_cast<sockaddr *>(&a), sizeof a, f.data(), f.size(), SESS_TCP, t2, &created);
    EXPECT_EQ(created, 1);
    EXPECT_TRUE(logged("[ERROR] multiple sessions for a tcpconn are detected"));
    EXPECT_EQ(t1->refcnt, 1);
    EXPECT_EQ(t2->refcnt, 1);
    // Unicast to the station goes to the newest session, queued on t2.
    auto rf = frame(4, 0x50);
    tap_input(rf.data(), rf.size());
    EXPECT_EQ(t1->wq_head, nullptr);
    ASSERT_NE(t2->wq_head, nullptr);
    EXPECT_EQ(t2->wq_head->buflen, static_cast<int64_t>(rf.size() + 4));
}

namespace
{
// Expiry writes the session's last usage records, so it needs a log.
struct scratch_log {
    test_util::scratch_dir dir;
    scratch_log()
    {
        VAS_ASSERT(dir.create("/tmp/veld_sess.XXXXXX", true));
        SHM_Init("64k,4k,-");
        VSL_Init();
    }
    ~scratch_log()
    {
        SHM_Close();
        VAS_ASSERT(dir.remove());
    }
};
} // namespace

TEST_F(Sess, ExpiryAfterSixHundredSilentSeconds)
{
    scratch_log log;
    veld.cleanup_interval = 60;
    auto a = ip4("198.51.100.1", 1000);
    auto t = ip4("198.51.100.3", 5555);
    tcpconn *tc = tcp_new(-1, reinterpret_cast<sockaddr *>(&t), sizeof t);
    auto f = frame(0x99, 1);
    rx_udp(a, f);
    auto f2 = frame(0x99, 2);
    sess_rx(reinterpret_cast<sockaddr *>(&t), sizeof t, f2.data(), f2.size(), SESS_TCP, tc,
            nullptr);
    int64_t born = static_cast<int64_t>(fake_now);

    sess_cleanup(); // first pass only records the time
    EXPECT_EQ(sesst.last_cleanup, born);
    fake_now = born + 59;
    sess_cleanup();
    EXPECT_EQ(sesst.last_cleanup, born);
    fake_now = born + 600; // exactly 600 silent seconds survive
    sess_cleanup();
    EXPECT_EQ(sesst.last_cleanup, born + 600);
    EXPECT_EQ(sesst.n_sess, 2u);
    fake_now = born + 601; // not yet: the pass waits for the interval
    sess_cleanup();
    EXPECT_EQ(sesst.n_sess, 2u);
    rx_udp(a, f); // the UDP client speaks again
    fake_now = born + 660;
    sess_cleanup();
    EXPECT_EQ(sesst.n_sess, 1u);
    EXPECT_EQ(sesst.sesslist_head->type, SESS_UDP);
    // Its transport K record and the U record of the ARP frame.
    EXPECT_TRUE(logged("is timeouted. Connection to 198.51.100.3:5555 is cleaned up with 2 "
                       "entries."));
    // The last session of the connection took it along.
    EXPECT_EQ(tcpst.tcplist, nullptr);
    EXPECT_TRUE(logged("[INFO] TCP connection is closing (tc "));
    fake_now = born + 1201; // last frame at born + 601
    sess_cleanup();
    EXPECT_EQ(sesst.n_sess, 1u);
    fake_now = born + 1262;
    sess_cleanup();
    EXPECT_EQ(sesst.n_sess, 0u);
    fake_now = 1000000;
}

namespace
{
int count_logs(const std::string &needle)
{
    int n = 0;
    for (auto &l : logs)
        n += l.find(needle) != std::string::npos;
    return n;
}

std::vector<uint8_t> station(uint32_t n)
{
    auto f = frame(0x99, 0);
    f[8] = static_cast<uint8_t>(n >> 16);
    f[9] = static_cast<uint8_t>(n >> 8);
    f[10] = static_cast<uint8_t>(n);
    return f;
}
} // namespace

TEST_F(Sess, SessionLimitsPerEndpointAndInAll)
{
    auto a = ip4("198.51.100.1", 1000);
    for (uint32_t i = 0; i < SESS_MAX_PER_ENDPOINT; i++)
        rx_udp(a, station(i));
    ASSERT_EQ(sesst.n_sess, SESS_MAX_PER_ENDPOINT);
    size_t to_tap = tap_out.size();

    // One station more from the same endpoint is refused, frame and all.
    int created = -1;
    rx_udp(a, station(1000), &created);
    rx_udp(a, station(1001), &created);
    EXPECT_EQ(created, -1);
    EXPECT_EQ(sesst.n_sess, SESS_MAX_PER_ENDPOINT);
    EXPECT_EQ(tap_out.size(), to_tap);
    EXPECT_EQ(count_logs("[WARN] Too many sessions from 198.51.100.1:1000 (32, mode UDP); frames "
                         "from new stations are dropped"),
              2);
    // Known stations go on; other endpoints are not affected.
    rx_udp(a, station(0), &created);
    EXPECT_EQ(created, 0);
    rx_udp(ip4("198.51.100.1", 1001), station(1000), &created);
    EXPECT_EQ(created, 1);

    // A few lines a second, then one that counts the rest.
    for (uint32_t i = 0; i < 10; i++)
        rx_udp(a, station(1002 + i));
    EXPECT_EQ(count_logs("[WARN] Too many sessions from"), VRATE_PER_SECOND);
    fake_now += 1;
    rx_udp(a, station(1020));
    EXPECT_TRUE(logged("[WARN] Too many sessions: 7 more lines not logged"));

    // ICMP endpoints are the address and echo sequence number; TCP ones the connection.
    tcpconn *tc = tcp_new(-1, reinterpret_cast<sockaddr *>(&a), sizeof a);
    for (uint32_t i = 0; i <= SESS_MAX_PER_ENDPOINT; i++) {
        auto f = station(2000 + i);
        sess_rx(reinterpret_cast<sockaddr *>(&a), sizeof a, f.data(), f.size(), SESS_TCP, tc,
                nullptr);
        icmp_origin io = {1, 7};
        sess_rx(reinterpret_cast<sockaddr *>(&a), sizeof a, f.data(), f.size(), SESS_ICMP, &io,
                nullptr);
    }
    EXPECT_EQ(tc->refcnt, static_cast<int32_t>(SESS_MAX_PER_ENDPOINT));
    EXPECT_EQ(sesst.n_sess, 3 * SESS_MAX_PER_ENDPOINT + 1);

    // Sessions in all: fill up from many endpoints.
    uint16_t port = 2000;
    for (uint32_t i = 0; sesst.n_sess < SESS_MAX_TOTAL; i++) {
        if (i % SESS_MAX_PER_ENDPOINT == 0)
            port++;
        rx_udp(ip4("203.0.113.1", port), station(10000 + i));
    }
    fake_now += 1;
    rx_udp(ip4("203.0.113.2", 1), station(1), &created);
    EXPECT_EQ(sesst.n_sess, SESS_MAX_TOTAL);
    EXPECT_TRUE(logged("[WARN] Too many sessions (8192); frames from new stations are dropped"));

    // Expiry gives the room back, per endpoint too.
    scratch_log log;
    veld.cleanup_interval = 60;
    sess_cleanup();
    fake_now += 601;
    rx_udp(a, station(0));
    sess_cleanup();
    EXPECT_EQ(sesst.n_sess, 1u);
    EXPECT_EQ(tcpst.tcplist, nullptr);
    rx_udp(a, station(1000), &created);
    EXPECT_EQ(created, 1);
}

TEST_F(Sess, GroupAndTapSourceAddressesAreRefused)
{
    const uint8_t tapmac[6] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
    std::memcpy(tapst.mac, tapmac, 6);
    tapst.has_mac = true;
    auto a = ip4("198.51.100.4", 4000);
    auto bcast = frame(0x99, 3);
    std::memset(&bcast[6], 0xff, 6);
    auto mcast = frame(0xff, 3);
    mcast[6] = 0x01;
    mcast[7] = 0x00;
    mcast[8] = 0x5e;
    auto tap = frame(0x99, 3);
    std::memcpy(&tap[6], tapmac, 6);
    int created = -1;
    rx_udp(a, bcast, &created);
    EXPECT_TRUE(logged("[WARN] Drop the frame; source ff:ff:ff:ff:ff:ff is a group address (from "
                       "198.51.100.4:4000)"));
    fake_now += 1;
    rx_udp(a, mcast, &created);
    EXPECT_TRUE(logged("source 1:0:5e:0:0:3 is a group address"));
    fake_now += 1;
    rx_udp(a, tap, &created);
    EXPECT_TRUE(logged("source 2:aa:bb:cc:dd:ee is the TAP device's address (from "
                       "198.51.100.4:4000)"));
    for (int i = 0; i < 10; i++)
        rx_udp(a, tap, &created);
    EXPECT_EQ(count_logs("Drop the frame"), 2 + VRATE_PER_SECOND);
    EXPECT_EQ(created, -1);
    EXPECT_EQ(sesst.n_sess, 0u);
    EXPECT_TRUE(tap_out.empty());

    // So the kernel's frames to its own gateway address are never captured,
    // and its broadcasts still reach every client.
    rx_udp(a, frame(0x99, 3));
    sends.clear();
    auto b = frame(0xff, 0x50);
    tap_input(b.data(), b.size());
    EXPECT_EQ(sends.size(), 1u);
    tapst.has_mac = false;
}

TEST_F(Sess, AddressTableGrowsAsAddressesArrive)
{
    // A session without remote addresses is only its record.
    static_assert(sizeof(sess) < 512);
    auto a = ip4("198.51.100.1", 1000);
    rx_udp(a, frame(0x99, 1));
    sess *sp = sesst.sesslist_head;
    EXPECT_EQ(sp->ip_usage, nullptr);
    for (int i = 0; i < 100; i++) {
        auto f = frame(0x99, 1);
        f[12] = 0x08;
        f[13] = 0x00;
        f[30] = 203;
        f[31] = 0;
        f[32] = 113;
        f[33] = static_cast<uint8_t>(i + 1);
        rx_udp(a, f);
        rx_udp(a, f);
    }
    ASSERT_EQ(sp->n_ip_usage, 100);
    EXPECT_GE(sp->ip_usage_cap, 100);
    EXPECT_LE(sp->ip_usage_cap, 2 * 100);
    for (int i = 0; i < 100; i++) {
        EXPECT_EQ(sp->ip_usage[i].addr, htonl(0xcb007100u + i + 1));
        EXPECT_EQ(sp->ip_usage[i].tx, 2u * (60 + 28));
    }
}
