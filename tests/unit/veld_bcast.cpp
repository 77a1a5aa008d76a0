// Broadcasts at scale: ARP requests reach the owner of their target address
// only, announcements reach the TAP device only, and other broadcasts from a
// client are fanned out within its budget.
#include <arpa/inet.h>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <vector>

#include "veld_dgram.h"
#include "veld_sess.h"
#include "veld_shmlog.h"
#include "veld_state.h"
#include "veld_tap.h"
#include "veld_test_util.h"
#include "vrate.h"
#include "test_util.h"

using namespace veld_test;

namespace
{
constexpr uint16_t OP_REQUEST = 1, OP_REPLY = 2;

uint32_t a4(const char *s)
{
    return inet_addr(s);
}

// ARP over Ethernet from station 2:0:0:0:0:<mac> for IPv4 addresses.
std::vector<uint8_t> arp(uint8_t mac, uint16_t op, const char *spa, const char *tpa,
                         bool bcast = true)
{
    std::vector<uint8_t> f(42, 0);
    if (bcast)
        std::memset(&f[0], 0xff, 6);
    else
        f[0] = 2, f[5] = 0x99;
    f[6] = 2;
    f[11] = mac;
    f[12] = 0x08, f[13] = 0x06;
    const uint8_t hdr[6] = {0, 1, 8, 0, 6, 4};
    std::memcpy(&f[14], hdr, 6);
    f[20] = op >> 8, f[21] = op & 0xff;
    std::memcpy(&f[22], &f[6], 6);
    uint32_t s = a4(spa), t = a4(tpa);
    std::memcpy(&f[28], &s, 4);
    std::memcpy(&f[38], &t, 4);
    return f;
}

// An IPv4 frame from station 2:0:0:0:0:<mac>.
std::vector<uint8_t> ip_frame(uint8_t mac, const char *src)
{
    auto f = eth(60, 0x0800, src, "203.0.113.9", mac);
    f[14] = 0x45;
    return f;
}

// A broadcast that is not ARP (a DHCP discover, say).
std::vector<uint8_t> other_bcast(uint8_t mac)
{
    auto f = eth(300, 0x0800, "0.0.0.0", "255.255.255.255", mac);
    f[14] = 0x45;
    std::memset(&f[0], 0xff, 6);
    return f;
}

class Bcast : public VeldTest
{
  protected:
    void SetUp() override
    {
        // Expiring sessions write their last records.
        ASSERT_TRUE(scratch_.create("/tmp/veld_bcast.XXXXXX", true));
        SHM_Init("64k,4k,-");
        VSL_Init();
        veld = veld_state{};
        veld.udp_fd = 5;
        veld.icmp_fd = 6;
        VeldTest::SetUp();
        fake_mono = 100;
        veld_clock_mono = fake_mono_clock;
        tapst.ip = a4("10.77.0.1");
        tapst.alias_ip = a4("10.254.254.1");
        VRATE_SetClock(fake_mono_clock);
    }
    void TearDown() override
    {
        VeldTest::TearDown();
        tapst.ip = tapst.alias_ip = 0;
        tapst.public_ip = 0xffffffffu;
        VRATE_SetClock(nullptr);
        SHM_Close();
        ASSERT_TRUE(scratch_.remove());
    }
    test_util::scratch_dir scratch_;
    // Client n: UDP from 198.51.100.n, port 4000 + n, MAC 2:0:0:0:0:n.
    static sockaddr_in client(int n)
    {
        return ip4(("198.51.100." + std::to_string(n)).c_str(), static_cast<uint16_t>(4000 + n));
    }
    static void from(int n, const std::vector<uint8_t> &f)
    {
        auto sin = client(n);
        sess_rx(reinterpret_cast<const sockaddr *>(&sin), sizeof sin, f.data(), f.size(), SESS_UDP,
                nullptr, nullptr);
    }
    // Ports the frames sent since the last call went to.
    static std::multiset<uint16_t> took()
    {
        std::multiset<uint16_t> p;
        for (auto &s : sends)
            p.insert(s.port);
        sends.clear();
        return p;
    }
    static size_t tap_took()
    {
        size_t n = tap_out.size();
        tap_out.clear();
        return n;
    }
};
} // namespace

TEST_F(Bcast, ArpReachesTheOwnerOfItsTarget)
{
    // Three stations announce themselves: to the TAP device only.
    for (int n : {11, 12, 13}) {
        std::string ip = "10.77.0." + std::to_string(n);
        from(n, arp(static_cast<uint8_t>(n), OP_REQUEST, ip.c_str(), ip.c_str()));
        EXPECT_EQ(tap_took(), 1u) << n;
    }
    from(13, arp(13, OP_REPLY, "10.77.0.13", "10.77.0.13"));
    EXPECT_EQ(tap_took(), 1u);
    EXPECT_TRUE(took().empty());
    EXPECT_EQ(sesst.n_arp, 3u);

    struct {
        const char *what;
        int sender; // 0: the TAP device
        const char *target;
        std::multiset<uint16_t> ports;
        size_t tap;
    } cases[] = {
        {"known target, from the TAP device", 0, "10.77.0.12", {4012}, 0},
        {"unknown target, from the TAP device", 0, "10.77.0.99", {4011, 4012, 4013}, 0},
        {"known target, from a client", 11, "10.77.0.13", {4013}, 0},
        {"unknown target, from a client", 11, "10.77.0.99", {4012, 4013}, 1},
        {"the gateway, from a client", 12, "10.77.0.1", {}, 1},
        {"the alias address, from a client", 12, "10.254.254.1", {}, 1},
        {"its own address (a probe), from a client", 12, "10.77.0.12", {}, 1},
    };
    for (auto &c : cases) {
        if (c.sender == 0) {
            auto f = arp(0x50, OP_REQUEST, "10.77.0.1", c.target);
            tap_input(f.data(), static_cast<ssize_t>(f.size()));
        } else {
            std::string ip = "10.77.0." + std::to_string(c.sender);
            auto f = arp(static_cast<uint8_t>(c.sender), OP_REQUEST, ip.c_str(), c.target);
            if (std::strcmp(c.target, ip.c_str()) == 0)
                std::memset(&f[28], 0, 4); // a probe comes from 0.0.0.0
            from(c.sender, f);
        }
        EXPECT_EQ(took(), c.ports) << c.what;
        EXPECT_EQ(tap_took(), c.tap) << c.what;
    }

    // The owner's copy is counted as every frame sent to a client is.
    sess *b = sess_arp_owner(a4("10.77.0.12"));
    ASSERT_NE(b, nullptr);
    uint64_t before = b->peer_usage.tx;
    auto f = arp(0x50, OP_REQUEST, "10.77.0.1", "10.77.0.12");
    tap_input(f.data(), static_cast<ssize_t>(f.size()));
    EXPECT_EQ(b->peer_usage.tx - before, 42u + 28);
    took();
}

TEST_F(Bcast, BindingsFollowTheAddressAndEndWithTheSession)
{
    from(11, arp(11, OP_REQUEST, "10.77.0.11", "10.77.0.11"));
    from(12, ip_frame(12, "10.77.0.12"));
    from(13, eth(60, 0x0806, nullptr, nullptr, 13)); // not ARP over IPv4: binds nothing
    EXPECT_EQ(sess_arp_owner(a4("10.77.0.12")), sesst.sesslist_head->all_next);
    EXPECT_EQ(sesst.n_arp, 2u);

    // Station 14 takes over 10.77.0.11 (by its IPv4 traffic, as after a
    // change of lease): requests for it follow.
    from(14, ip_frame(14, "10.77.0.11"));
    auto req = arp(0x50, OP_REQUEST, "10.77.0.1", "10.77.0.11");
    tap_input(req.data(), static_cast<ssize_t>(req.size()));
    EXPECT_EQ(took(), std::multiset<uint16_t>{4014});
    EXPECT_EQ(sesst.n_arp, 2u);

    // No client can own the gateway's, the public or a group address.
    inet_pton(AF_INET, "198.51.100.1", &tapst.public_ip);
    for (const char *ip : {"10.77.0.1", "10.254.254.1", "198.51.100.1", "224.0.0.251",
                           "255.255.255.255", "0.0.0.0"}) {
        from(13, ip_frame(13, ip));
        EXPECT_EQ(sess_arp_owner(a4(ip)), nullptr) << ip;
    }

    // A station with many addresses keeps its newest ones.
    for (int i = 0; i < SESS_ARP_PER_SESS + 3; i++) {
        std::string ip = "10.77.1." + std::to_string(i);
        from(13, ip_frame(13, ip.c_str()));
    }
    EXPECT_EQ(sess_arp_owner(a4("10.77.1.2")), nullptr);
    EXPECT_NE(sess_arp_owner(a4("10.77.1.3")), nullptr);
    EXPECT_EQ(sesst.n_arp, 2u + SESS_ARP_PER_SESS);

    // Station 14 falls silent and expires: its address is unknown again.
    sess_cleanup();
    fake_now += 601;
    for (int n : {11, 12, 13})
        from(n, eth(60, 0x0806, nullptr, nullptr, static_cast<uint8_t>(n)));
    sess_cleanup();
    EXPECT_EQ(sesst.n_sess, 3u);
    EXPECT_EQ(sess_arp_owner(a4("10.77.0.11")), nullptr);
    took();
    tap_input(req.data(), static_cast<ssize_t>(req.size()));
    EXPECT_EQ(took(), (std::multiset<uint16_t>{4011, 4012, 4013}));
}

TEST_F(Bcast, OtherBroadcastsWithinABudgetPerSession)
{
    for (int n : {11, 12, 13})
        from(n, eth(60, 0x0806, nullptr, nullptr, static_cast<uint8_t>(n)));
    took();
    tap_took();
    logs.clear();

    // A burst of SESS_BCAST_BURST reaches everyone; the rest the TAP device only.
    const int burst = static_cast<int>(SESS_BCAST_BURST);
    for (int i = 0; i < burst + 5; i++)
        from(11, other_bcast(11));
    EXPECT_EQ(took().size(), 2u * burst);
    EXPECT_EQ(tap_took(), static_cast<size_t>(burst + 5));
    EXPECT_EQ(sesst.bcast_over, 5u);
    EXPECT_TRUE(logged("[WARN] Broadcasts from 198.51.100.11:4011 (2:0:0:0:0:b) beyond 5 a second "
                       "reach the TAP device only (1 so far)"));

    // Another station has its own budget; station 11 earns SESS_BCAST_RATE a second back.
    from(12, other_bcast(12));
    EXPECT_EQ(took(), (std::multiset<uint16_t>{4011, 4013}));
    fake_mono += 1;
    for (int i = 0; i < 10; i++)
        from(11, other_bcast(11));
    EXPECT_EQ(took().size(), 2u * static_cast<size_t>(SESS_BCAST_RATE));
    EXPECT_EQ(tap_took(), 11u);
    // ARP requests for bound stations are not broadcasts and spend nothing.
    from(12, arp(12, OP_REQUEST, "10.77.0.12", "10.77.0.12"));
    from(13, arp(13, OP_REQUEST, "10.77.0.13", "10.77.0.13"));
    took();
    for (int i = 0; i < 30; i++)
        from(11, arp(11, OP_REQUEST, "10.77.0.11", i % 2 ? "10.77.0.12" : "10.77.0.13"));
    EXPECT_EQ(took().size(), 30u);
}
