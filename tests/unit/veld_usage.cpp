// Usage records: the K and U texts as they land in the shared-memory log,
// the emission rounds, the reset of the counters and the final records of an
// expiring session.
#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "veld_dgram.h"
#include "veld_sess.h"
#include "veld_shmlog.h"
#include "veld_stat.h"
#include "veld_state.h"
#include "veld_tap.h"
#include "veld_tcp.h"
#include "veld_test_util.h"
#include "vlog.h"
#include "test_util.h"

using namespace veld_test;

namespace
{
// Mon, 07 Dec 2026 13:43:53 GMT, a quarter second in.
constexpr double T0 = 1796651033.25;
constexpr const char *STAMP = "Mon, 07 Dec 2026 13:43:53 GMT";

struct record {
    unsigned tag;
    uint32_t id;
    std::string text;
};

class Usage : public VeldTest
{
  protected:
    Usage() : VeldTest(T0) {}
    sockaddr_in client = ip4("198.51.100.20", 3333);

    void SetUp() override
    {
        ASSERT_TRUE(scratch_.create("/tmp/veld_usage.XXXXXX", true));
        SHM_Init("64k,4k,-");
        VSL_Init();
        read_pos_ = shm.vsl_start + 1;

        VeldTest::SetUp();
        fake_mono = 4321.5;
        veld_clock_mono = fake_mono_clock;
        statst = stat_state{};
        veld.usage_interval = 300;
        veld.cleanup_interval = 60;
    }
    void TearDown() override
    {
        VeldTest::TearDown();
        SHM_Close();
        ASSERT_TRUE(scratch_.remove());
    }

    const sockaddr *sa(const sockaddr_in &s) const
    {
        return reinterpret_cast<const sockaddr *>(&s);
    }
    sess *udp_from(const sockaddr_in &from, const std::vector<uint8_t> &f)
    {
        udp_rx(f.data(), f.size(), sa(from), sizeof from);
        return sesst.sesslist_tail;
    }

    // The records published since the last call, in ring order.
    std::vector<record> take()
    {
        std::vector<record> out;
        for (;;) {
            uint32_t w0 = vsm_load(read_pos_);
            if (w0 == VSL_ENDMARKER)
                break;
            EXPECT_NE(w0, VSL_WRAPMARKER) << "the test ring is not meant to wrap";
            if (w0 == VSL_WRAPMARKER)
                break;
            uint32_t len = VSL_LEN(w0);
            out.push_back({VSL_TAG(w0), read_pos_[1],
                           std::string(reinterpret_cast<const char *>(read_pos_ + 2), len)});
            read_pos_ += VSL_BYTES(len) / 4;
        }
        return out;
    }
    static std::vector<std::string> texts(const std::vector<record> &rs)
    {
        std::vector<std::string> v;
        for (auto &r : rs)
            v.push_back(r.text);
        return v;
    }

  private:
    test_util::scratch_dir scratch_;
    uint32_t *read_pos_ = nullptr;
};
} // namespace

TEST_F(Usage, RecordTextsAndReset)
{
    // Up: an IPv4 frame to 203.0.113.5, one to 192.0.2.7 and an ARP frame.
    sess *u = udp_from(client, eth(100, 0x0800, "10.8.0.2", "203.0.113.5"));
    udp_from(client, eth(60, 0x0800, "10.8.0.2", "192.0.2.7"));
    udp_from(client, eth(42, 0x0806));
    // Down: an answer from 203.0.113.5 and a frame without an IPv4 source.
    auto down = eth(80, 0x0800, "203.0.113.5", "10.8.0.2");
    sess_tx(u, down.data(), down.size());
    auto bad = eth(30, 0x0800);
    sess_tx(u, bad.data(), bad.size());
    ASSERT_EQ(sesst.n_sess, 1u);

    int n = 5; // the count is added to, not set
    sess_stat_flush(u, &n, T0, 4321.5);
    EXPECT_EQ(n, 9);
    auto rs = take();
    std::string head =
        std::string(STAMP) + ";1796651033.25;4321.50;198.51.100.20;3333;2:0:0:0:0:1;";
    // Peer: in 128+88+70, out 108+58. U: in 58 (down), out 70 (up).
    std::vector<std::string> want = {
        head + "K;198.51.100.20;286;166;D",
        head + "U;-;58;70;D",
        head + "K;203.0.113.5;108;128;D",
        head + "K;192.0.2.7;0;88;D",
    };
    EXPECT_EQ(texts(rs), want);
    for (auto &r : rs) {
        EXPECT_EQ(r.tag, 2u);
        EXPECT_EQ(r.id, 0u);
    }

    // Everything is zeroed but the peer address.
    EXPECT_EQ(u->peer_usage.rx, 0u);
    EXPECT_EQ(u->peer_usage.tx, 0u);
    EXPECT_EQ(u->peer_usage.addr, client.sin_addr.s_addr);
    EXPECT_EQ(u->other_usage.rx, 0u);
    EXPECT_EQ(u->other_usage.tx, 0u);
    // The address table is emptied (and kept while the session uses it).
    EXPECT_EQ(u->n_ip_usage, 0);

    // All zero: nothing written, nothing counted; an idle session keeps no table.
    n = 0;
    sess_stat_flush(u, &n, T0 + 1, 4322.5);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(take().empty());
    EXPECT_EQ(u->ip_usage, nullptr);

    // The next interval lists only what it saw, in order of first appearance.
    auto up = eth(60, 0x0800, "10.8.0.2", "192.0.2.7");
    udp_rx(up.data(), up.size(), sa(client), sizeof client);
    sess_tx(u, down.data(), down.size());
    sess_stat_flush(u, &n, T0 + 2, 4323.5);
    EXPECT_EQ(n, 3);
    rs = take();
    ASSERT_EQ(rs.size(), 3u);
    EXPECT_NE(rs[1].text.find(";K;192.0.2.7;0;88;D"), std::string::npos);
    EXPECT_NE(rs[2].text.find(";K;203.0.113.5;108;0;D"), std::string::npos);
    EXPECT_EQ(u->n_ip_usage, 0);
}

TEST_F(Usage, TcpAndIcmpOverheadsInRecords)
{
    tcpconn *tc = tcp_new(-1, sa(client), sizeof client);
    auto up = eth(100, 0x0800, "10.8.0.2", "203.0.113.5", 2);
    sess_rx(sa(client), sizeof client, up.data(), up.size(), SESS_TCP, tc, nullptr);
    sess *t = sesst.sesslist_tail;
    ASSERT_EQ(t->type, SESS_TCP);
    int n = 0;
    sess_stat_flush(t, &n, T0, 1.0);
    auto rs = take();
    ASSERT_EQ(n, 2);
    ASSERT_EQ(rs.size(), 2u);
    std::string head = std::string(STAMP) + ";1796651033.25;1.00;198.51.100.20;3333;2:0:0:0:0:2;";
    EXPECT_EQ(rs[0].text, head + "K;198.51.100.20;144;0;D");
    EXPECT_EQ(rs[1].text, head + "K;203.0.113.5;0;144;D");

    // ICMP: the transport adds 32 per frame, the per-address entry 28.
    icmp_origin o = {htons(7), htons(1)};
    auto iup = eth(100, 0x0800, "10.8.0.2", "203.0.113.5", 3);
    sess_rx(sa(client), sizeof client, iup.data(), iup.size(), SESS_ICMP, &o, nullptr);
    sess *i = sesst.sesslist_tail;
    ASSERT_EQ(i->type, SESS_ICMP);
    sess_stat_flush(i, &n, T0, 1.0);
    rs = take();
    ASSERT_EQ(rs.size(), 2u);
    EXPECT_NE(rs[0].text.find(";K;198.51.100.20;132;0;D"), std::string::npos);
    EXPECT_NE(rs[1].text.find(";K;203.0.113.5;0;128;D"), std::string::npos);
}

TEST_F(Usage, OnlyNonIpv4TrafficGivesTransportAndU)
{
    sess *u = udp_from(client, eth(42, 0x0806));
    for (int round = 0; round < 2; round++) {
        // ARP, IPv6, and IPv4 with only the unusable 0.0.0.0 / broadcast keys.
        udp_from(client, eth(60, 0x86dd));
        udp_from(client, eth(60, 0x0800, "0.0.0.0", "255.255.255.255"));
        auto reply = eth(42, 0x0806);
        sess_tx(u, reply.data(), reply.size());
        int n = 0;
        sess_stat_flush(u, &n, T0 + round, 10.0);
        auto rs = take();
        ASSERT_EQ(rs.size(), 2u) << round;
        EXPECT_EQ(n, 2);
        uint64_t in = round == 0 ? 70 + 88 + 88 : 88 + 88;
        EXPECT_NE(rs[0].text.find(";K;198.51.100.20;" + std::to_string(in) + ";70;D"),
                  std::string::npos)
            << rs[0].text;
        EXPECT_NE(rs[1].text.find(";U;-;70;" + std::to_string(in) + ";D"), std::string::npos)
            << rs[1].text;
    }
}

TEST_F(Usage, AddressKeyNeedsTheWholeAddress)
{
    sess *u = udp_from(client, eth(42, 0x0806));
    const uint64_t other = u->other_usage.tx;
    // One byte short of the destination address, or no EtherType at all: no key.
    for (size_t len : {33u, 14u, 13u}) {
        auto f = eth(len, 0x0800, "10.8.0.2", "203.0.113.5");
        sess_stat_backend(u, STAT_TX, STAT_DIR_DST, SESS_UDP, f.data(), f.size());
    }
    EXPECT_EQ(u->n_ip_usage, 0);
    EXPECT_EQ(u->other_usage.tx, other + 33 + 14 + 13 + 3 * 28);
    // The whole address is there: keyed by it, in either direction.
    auto f = eth(34, 0x0800, "10.8.0.2", "203.0.113.5");
    sess_stat_backend(u, STAT_TX, STAT_DIR_DST, SESS_UDP, f.data(), f.size());
    sess_stat_backend(u, STAT_RX, STAT_DIR_SRC, SESS_UDP, f.data(), f.size());
    ASSERT_EQ(u->n_ip_usage, 2);
    EXPECT_EQ(u->ip_usage[0].addr, inet_addr("203.0.113.5"));
    EXPECT_EQ(u->ip_usage[0].tx, 34u + 28);
    EXPECT_EQ(u->ip_usage[1].addr, inet_addr("10.8.0.2"));
    EXPECT_EQ(u->ip_usage[1].rx, 34u + 28);
}

TEST_F(Usage, CountersPrintSigned)
{
    sess *u = udp_from(client, eth(42, 0x0806));
    u->peer_usage.rx = uint64_t{1} << 63;
    int n = 0;
    sess_stat_flush(u, &n, T0, 0.0);
    auto rs = take();
    ASSERT_GE(rs.size(), 1u);
    EXPECT_NE(rs[0].text.find(";K;198.51.100.20;-9223372036854775808;0;D"), std::string::npos);
}

TEST_F(Usage, EmissionRounds)
{
    auto b = ip4("198.51.100.21", 4444);
    udp_from(client, eth(42, 0x0806));
    udp_from(b, eth(60, 0x0800, "10.8.0.3", "203.0.113.9", 3));
    udp_from(ip4("198.51.100.22", 5555), eth(42, 0x0806, nullptr, nullptr, 4));
    sesst.sesslist_tail->peer_usage.rx = 0; // a session with nothing to report
    sesst.sesslist_tail->other_usage.tx = 0;

    stat_emit(); // the first call writes at once
    auto rs = take();
    EXPECT_TRUE(logged("[INFO] Stat is written. (nsess 3, nentry 4)"));
    ASSERT_EQ(rs.size(), 4u);
    // Sessions in creation order, all with the round's times.
    std::string t = std::string(STAMP) + ";1796651033.25;4321.50;";
    EXPECT_EQ(rs[0].text, t + "198.51.100.20;3333;2:0:0:0:0:1;K;198.51.100.20;70;0;D");
    EXPECT_EQ(rs[1].text, t + "198.51.100.20;3333;2:0:0:0:0:1;U;-;0;70;D");
    EXPECT_EQ(rs[2].text, t + "198.51.100.21;4444;2:0:0:0:0:3;K;198.51.100.21;88;0;D");
    EXPECT_EQ(rs[3].text, t + "198.51.100.21;4444;2:0:0:0:0:3;K;203.0.113.9;0;88;D");

    // Exactly usage_interval later is not enough; strictly more is.
    udp_from(b, eth(60, 0x0800, "10.8.0.3", "203.0.113.9", 3));
    logs.clear();
    fake_now = T0 + 300;
    stat_emit();
    EXPECT_TRUE(take().empty());
    EXPECT_TRUE(logs.empty());
    fake_now = T0 + 300.5;
    fake_mono = 4622.0;
    stat_emit();
    rs = take();
    EXPECT_TRUE(logged("[INFO] Stat is written. (nsess 3, nentry 2)"));
    ASSERT_EQ(rs.size(), 2u);
    EXPECT_EQ(rs[0].text, "Mon, 07 Dec 2026 13:48:53 GMT;1796651333.75;4622.00;198.51.100.21;4444;"
                          "2:0:0:0:0:3;K;198.51.100.21;88;0;D");
    EXPECT_EQ(statst.last_emit, T0 + 300.5);

    // The interval counts from the last round, not from the first.
    fake_now = T0 + 600;
    stat_emit();
    EXPECT_FALSE(logged("(nsess 3, nentry 0)"));
    fake_now = T0 + 600.75;
    stat_emit();
    EXPECT_TRUE(logged("[INFO] Stat is written. (nsess 3, nentry 0)"));
    EXPECT_TRUE(take().empty());
}

TEST_F(Usage, ExpiryWritesTheFinalRecords)
{
    tcpconn *tc = tcp_new(-1, sa(client), sizeof client);
    auto up = eth(60, 0x0806, nullptr, nullptr, 5);
    sess_rx(sa(client), sizeof client, up.data(), up.size(), SESS_TCP, tc, nullptr);
    udp_from(ip4("198.51.100.30", 6000), eth(42, 0x0806, nullptr, nullptr, 6));
    sess *keep = sesst.sesslist_tail;

    sess_cleanup(); // the first pass only records the time
    fake_now = T0 + 601;
    fake_mono = 5000.0;
    udp_rx(eth(42, 0x0806, nullptr, nullptr, 6).data(), 42, sa(ip4("198.51.100.30", 6000)),
           sizeof(sockaddr_in));
    sess_cleanup();
    ASSERT_EQ(sesst.n_sess, 1u);
    ASSERT_EQ(sesst.sesslist_head, keep);

    // Written with the clocks of the pass, before the session went.
    auto rs = take();
    std::string head = "Mon, 07 Dec 2026 13:53:54 GMT;1796651634.25;5000.00;198.51.100.20;3333;"
                       "2:0:0:0:0:5;";
    std::vector<std::string> want = {head + "K;198.51.100.20;104;0;D", head + "U;-;0;104;D"};
    EXPECT_EQ(texts(rs), want);
    EXPECT_TRUE(logged("is timeouted. Connection to 198.51.100.20:3333 is cleaned up with 2 "
                       "entries."));
    // The surviving session still holds its counters for the next round.
    EXPECT_EQ(keep->peer_usage.rx, 2u * 70);
}

// A round written a few sessions per turn gives the records an unsliced round
// gives for the same sessions, all with the time the round began, while the
// clock moves on, traffic arrives and sessions come and go between slices.
TEST_F(Usage, SlicedRoundEqualsWholeRound)
{
    constexpr int N = 30;
    auto load = [&](int base) {
        for (int i = 0; i < N; i++) {
            auto from = ip4("198.51.100.40", static_cast<uint16_t>(base + i));
            auto mac = static_cast<uint8_t>(10 + i);
            udp_from(from, eth(42, 0x0806, nullptr, nullptr, mac));
            for (int k = 0; k < i % 4; k++) {
                std::string dst = "203.0.113." + std::to_string(1 + k);
                udp_from(from, eth(60 + k, 0x0800, "10.8.0.3", dst.c_str(), mac));
            }
        }
    };
    // The same sessions, under other ports so that they are new ones.
    auto strip = [](std::vector<std::string> v) {
        for (auto &t : v) {
            auto p = t.find(";198.51.100.40;");
            t.erase(p + 15, t.find(';', p + 15) - (p + 15));
        }
        return v;
    };

    load(7000);
    statst.slice_sessions = 1000000;
    stat_emit();
    auto whole = texts(take());
    ASSERT_TRUE(logged("[INFO] Stat is written. (nsess 30, nentry 103)"));
    ASSERT_FALSE(stat_round_active());
    sess_reset();
    sesst.sesstbl = sessinit(512, &sesst.sesstbl_mask);
    logs.clear();

    load(8000);
    statst.last_emit = 0;
    statst.slice_sessions = 4;
    stat_emit();
    int turns = 1;
    bool extra = false;
    while (stat_round_active()) {
        // Time passes and frames arrive between slices.
        fake_now += 0.25;
        fake_mono += 0.25;
        // A session created during the round waits for the next one.
        if (!extra) {
            udp_from(ip4("198.51.100.41", 9000), eth(42, 0x0806, nullptr, nullptr, 200));
            extra = true;
        }
        stat_emit();
        turns++;
        ASSERT_LT(turns, 100);
    }
    EXPECT_EQ(turns, (N + 3) / 4);
    EXPECT_TRUE(logged("[INFO] Stat is written. (nsess 30, nentry 103)"));
    auto sliced = texts(take());
    ASSERT_EQ(sliced.size(), whole.size());
    EXPECT_EQ(strip(sliced), strip(whole));
    for (auto &t : sliced)
        EXPECT_EQ(t.rfind(std::string(STAMP) + ";1796651033.25;4321.50;", 0), 0u) << t;

    // The late session is written by the next round; a whole round at once
    // (as at a stop) also finishes one in progress first.
    fake_now += 400;
    statst.slice_sessions = 1;
    stat_emit();
    ASSERT_TRUE(stat_round_active());
    logs.clear();
    stat_emit_now();
    EXPECT_FALSE(stat_round_active());
    auto rest = texts(take());
    ASSERT_EQ(rest.size(), 2u);
    EXPECT_NE(rest[0].find(";198.51.100.41;9000;2:0:0:0:0:c8;K;198.51.100.41;70;0;D"),
              std::string::npos);
    EXPECT_TRUE(logged("(nsess 31, nentry 2)"));
    EXPECT_TRUE(logged("(nsess 31, nentry 0)"));
}

// Sessions that expire or are created while a round is being written: the
// expiring one leaves its records once, with the expiry pass's time.
TEST_F(Usage, ExpiryDuringASlicedRound)
{
    for (int i = 0; i < 6; i++)
        udp_from(ip4("198.51.100.50", static_cast<uint16_t>(6000 + i)),
                 eth(42, 0x0806, nullptr, nullptr, static_cast<uint8_t>(30 + i)));
    sess_cleanup(); // records the time
    statst.slice_sessions = 2;
    stat_emit(); // sessions 0 and 1
    take();
    // Session 2 is next; all but session 5 fall silent and expire.
    fake_now += 601;
    udp_from(ip4("198.51.100.50", 6005), eth(42, 0x0806, nullptr, nullptr, 35));
    sess_cleanup();
    ASSERT_EQ(sesst.n_sess, 1u);
    auto rs = texts(take());
    // Sessions 0 and 1 were written already and have nothing new; 2 to 4 write
    // their counters at expiry.
    ASSERT_EQ(rs.size(), 6u);
    for (const char *port : {";6002;", ";6003;", ";6004;"})
        EXPECT_EQ(std::count_if(rs.begin(), rs.end(),
                                [&](const std::string &t) {
                                    return t.find(port) != std::string::npos &&
                                           t.find("1796651634.25") != std::string::npos;
                                }),
                  2)
            << port;
    while (stat_round_active())
        stat_emit();
    rs = texts(take());
    ASSERT_EQ(rs.size(), 2u);
    EXPECT_NE(rs[0].find(";198.51.100.50;6005;2:0:0:0:0:23;K;198.51.100.50;140;0;D"),
              std::string::npos);
    EXPECT_NE(rs[0].find("1796651033.25"), std::string::npos);
    EXPECT_TRUE(logged("[INFO] Stat is written. (nsess 3, nentry 6)"));
}

// The address table is emptied by every round, kept while the session uses
// it, and given back after an interval without remote addresses.
TEST_F(Usage, AddressTableKeptWhileUsed)
{
    sess *sp = udp_from(client, eth(60, 0x0800, "10.8.0.3", "203.0.113.9"));
    ASSERT_EQ(sp->n_ip_usage, 1);
    stat_emit();
    EXPECT_EQ(sp->n_ip_usage, 0);
    EXPECT_NE(sp->ip_usage, nullptr);
    udp_from(client, eth(60, 0x0800, "10.8.0.3", "203.0.113.10"));
    EXPECT_EQ(sp->ip_usage[0].addr, inet_addr("203.0.113.10"));
    EXPECT_EQ(sp->ip_usage[0].tx, 88u);
    fake_now += 301;
    stat_emit();
    EXPECT_NE(sp->ip_usage, nullptr);
    fake_now += 301;
    stat_emit(); // an interval without remote addresses
    EXPECT_EQ(sp->ip_usage, nullptr);
    EXPECT_EQ(sp->ip_usage_cap, 0);
    auto rs = texts(take());
    ASSERT_EQ(rs.size(), 4u);
    EXPECT_NE(rs[1].find(";K;203.0.113.9;0;88;D"), std::string::npos);
    EXPECT_NE(rs[3].find(";K;203.0.113.10;0;88;D"), std::string::npos);
}
