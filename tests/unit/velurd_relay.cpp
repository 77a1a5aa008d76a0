// velurd: the request header check with its log line, relay sessions and
// their expiry, and the refusal of sessions select() could not watch.
#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>
#include <algorithm>

#include "test_util.h"
#include "velurd_relay.h"
#include "vlog.h"
#include "vrate.h"

using test_util::logged;

namespace
{
int64_t fake_now;
int64_t fake_clock()
{
    return fake_now;
}

struct sockaddr_in v4(const char *addr, uint16_t port)
{
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    inet_pton(AF_INET, addr, &sin.sin_addr);
    sin.sin_port = htons(port);
    return sin;
}

urd_sess *insert(const struct sockaddr_in &client, const char *dst = "192.0.2.7")
{
    struct sockaddr_in d = v4(dst, 9000);
    return sess_insert(reinterpret_cast<const struct sockaddr *>(&client), sizeof client, &d);
}

std::string line(const char *fmt, const void *sp, int count)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, sp, count);
    return buf;
}

class Relay : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        logged.clear();
        VLOG_SetSink(test_util::capture);
        fake_now = 1000000;
        urd_clock = fake_clock;
    }
    void TearDown() override
    {
        urd_reset();
        VLOG_SetSink(nullptr);
    }
};
} // namespace

TEST_F(Relay, HeaderCheck)
{
    const struct {
        std::vector<uint8_t> dgram;
        int result;
        const char *log;
    } rows[] = {
        {{0, 0, 0, 1, 192, 0, 2, 1, 0x1f, 0x90, 'h', 'i'}, 0, nullptr},
        {{0, 0, 0, 1, 192, 0, 2, 1, 0x1f}, -1, nullptr},
        {{0, 0, 0, 3, 192, 0, 2, 1, 0x1f, 0x90}, -2, "[ERROR] Wrong header 1 0 0 3"},
        {{5, 0, 0, 1, 0, 0, 0, 0, 0, 0}, -2, "[ERROR] Wrong header 5 0 0 1"},
        {{2, 0, 1, 1, 0, 0, 0, 0, 0, 0}, -2, "[ERROR] Wrong header 3 0 1 1"},
        {{0x80, 0xff, 0x7f, 0x81, 0, 0, 0, 0, 0, 0},
         -2,
         "[ERROR] Wrong header ffffff81 ffffffff 7f ffffff81"},
    };
    for (const auto &r : rows) {
        logged.clear();
        struct sockaddr_in d;
        EXPECT_EQ(urd_parse_header(r.dgram.data(), r.dgram.size(), &d), r.result);
        if (r.log != nullptr)
            EXPECT_EQ(logged, (decltype(logged){{LOG_ERR, r.log}}));
        else
            EXPECT_TRUE(logged.empty());
    }
}

// Sessions per client address and their lines are seen end to end; the
// expiry pass only here.
TEST_F(Relay, ASessionEndsAfterItsClientFellSilent)
{
    auto c1 = v4("198.51.100.5", 4000), c2 = v4("198.51.100.5", 4001);
    urd_sess *a = insert(c1);
    ASSERT_NE(a, nullptr);
    fake_now += 300;
    urd_sess *b = insert(c2);
    fake_now += 300; // a: exactly 600 s silent, still there
    urd_expire();
    EXPECT_EQ(urd.count, 2);
    int afd = a->fd;
    fake_now += 1;
    std::string gone = line("the session is destroyed (sp %p count %d)", a, 1);
    logged.clear();
    urd_expire();
    EXPECT_EQ(logged, (decltype(logged){{LOG_INFO, gone}}));
    EXPECT_EQ(urd.head, b);
    EXPECT_EQ(b->next, nullptr);
    EXPECT_EQ(fcntl(afd, F_GETFD), -1); // its socket is closed
}

// Replies arriving all the time keep select() from timing out; silent
// clients must lose their sessions all the same.
TEST_F(Relay, RepliesDoNotKeepASilentClientsSessionAlive)
{
    int lfd = socket(AF_INET, SOCK_DGRAM, 0), peer = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(lfd, 0);
    ASSERT_GE(peer, 0);
    struct sockaddr_in lo = v4("127.0.0.1", 0);
    ASSERT_EQ(bind(lfd, reinterpret_cast<struct sockaddr *>(&lo), sizeof lo), 0);
    urd.listen_fd = lfd;
    urd_sess *a = insert(v4("127.0.0.1", 9)); // replies go to the discard port: nobody reads
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(bind(a->fd, reinterpret_cast<struct sockaddr *>(&lo), sizeof lo), 0);
    struct sockaddr_in relay;
    socklen_t rl = sizeof relay;
    ASSERT_EQ(getsockname(a->fd, reinterpret_cast<struct sockaddr *>(&relay), &rl), 0);
    fake_now += 601;
    ASSERT_EQ(sendto(peer, "r", 1, 0, reinterpret_cast<struct sockaddr *>(&relay), rl), 1);
    urd_loop_once();
    EXPECT_EQ(urd.count, 0);
    EXPECT_EQ(urd.head, nullptr);
    close(peer);
    close(lfd);
    urd.listen_fd = -1;
}

TEST_F(Relay, NewSessionsAreRefusedAtTheDescriptorLimit)
{
    auto c1 = v4("198.51.100.5", 4000), c2 = v4("198.51.100.6", 4001);
    urd_sess *a = insert(c1);
    // The next socket would get the lowest free descriptor: make that the limit.
    int probe = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(probe, 0);
    close(probe);
    urd.fd_limit = probe;
    logged.clear();

    for (int i = 0; i < 100; i++)
        EXPECT_EQ(insert(c2), nullptr);
    EXPECT_EQ(insert(c1), a); // known clients go on
    // A client retrying cannot flood the log: a few lines, the rest counted.
    ASSERT_EQ(logged.size(), static_cast<size_t>(VRATE_PER_SECOND));
    EXPECT_EQ(logged[0], (std::pair<int, std::string>{
                             LOG_ERR, "[ERROR] Session refused for 198.51.100.6:4001: "
                                      "no relay socket below " +
                                          std::to_string(probe) + " (count 1)"}));
    int again = socket(AF_INET, SOCK_DGRAM, 0); // nothing leaked
    EXPECT_EQ(again, probe);
    close(again);
}

// A client address holds at most per_addr sessions, whatever its ports;
// other addresses and the sessions it has are not affected.
TEST_F(Relay, OneAddressHoldsABoundedNumberOfSessions)
{
    urd.per_addr = 3;
    std::vector<urd_sess *> made;
    for (uint16_t port = 5000; port < 5003; port++)
        made.push_back(insert(v4("198.51.100.9", port)));
    for (urd_sess *sp : made)
        EXPECT_NE(sp, nullptr);
    logged.clear();
    EXPECT_EQ(insert(v4("198.51.100.9", 5003)), nullptr);
    EXPECT_EQ(logged, (decltype(logged){{LOG_WARNING, "[WARN] Session refused for "
                                                      "198.51.100.9:5003: the address holds 3 "
                                                      "sessions (count 3)"}}));
    EXPECT_EQ(insert(v4("198.51.100.9", 5001)), made[1]);
    EXPECT_NE(insert(v4("198.51.100.10", 5003)), nullptr);
    EXPECT_EQ(urd.count, 4);
}

// The relay never reaches the node itself, its loopback, "this network",
// multicast, the limited broadcast or port 0; everything else is relayed.
TEST_F(Relay, DestinationsTheRelayRefuses)
{
    test_util::scratch_dir dir;
    ASSERT_TRUE(dir.create("/tmp/velurd_unit.XXXXXX"));
    std::string pub = dir.path() + "/public_ip", tap = dir.path() + "/v2_tapip";
    test_util::put(pub, "203.0.113.50");
    test_util::put(tap, "10.7.0.1\n");
    urd.public_ip_file = pub.c_str();
    urd.tap_ip_file = tap.c_str();
    urd_local_refresh(true);
    const struct {
        const char *addr;
        uint16_t port;
        const char *why;
    } rows[] = {
        {"192.0.2.7", 53, nullptr},
        {"10.7.0.2", 53, nullptr},
        {"126.255.255.255", 1, nullptr},
        {"223.255.255.255", 1, nullptr},
        {"192.0.2.7", 0, "port 0"},
        {"0.0.0.0", 53, "this network"},
        {"0.1.2.3", 53, "this network"},
        {"127.0.0.1", 5353, "loopback"},
        {"127.200.0.1", 7879, "loopback"},
        {"224.0.0.251", 5353, "multicast"},
        {"239.255.255.250", 1900, "multicast"},
        {"255.255.255.255", 67, "broadcast"},
        {"203.0.113.50", 7879, "an address of this node"},
        {"10.7.0.1", 53, "an address of this node"},
    };
    for (const auto &r : rows) {
        struct sockaddr_in d = v4(r.addr, r.port);
        const char *why = urd_dest_refused(&d);
        EXPECT_STREQ(why, r.why) << r.addr << ":" << r.port;
    }
    // Interface addresses come from the kernel: loopback's is always there,
    // and so is every other address this host has.
    EXPECT_NE(std::find(urd.local.begin(), urd.local.end(), htonl(INADDR_LOOPBACK)),
              urd.local.end());
    test_util::put(pub, "not an address");
    urd_local_refresh(false); // not due yet
    struct sockaddr_in d = v4("203.0.113.50", 1);
    EXPECT_NE(urd_dest_refused(&d), nullptr);
    fake_now += URD_LOCAL_REFRESH;
    urd_local_refresh(false);
    EXPECT_EQ(urd_dest_refused(&d), nullptr);
    dir.remove();
}

// One datagram of nested headers aimed back at the relay opens no session;
// a refused destination, like a wrong header, is logged a few times a second.
TEST_F(Relay, RefusedDatagramsOpenNoSessionAndAreLoggedBounded)
{
    std::vector<uint8_t> nested;
    for (int i = 0; i < 301; i++)
        nested.insert(nested.end(), {0, 0, 0, 1, 127, 0, 0, 1, 0x1e, 0xc7});
    auto client = v4("198.51.100.5", 4000);
    for (int i = 0; i < 50; i++)
        urd_client_datagram(nested.data(), nested.size(),
                            reinterpret_cast<const struct sockaddr *>(&client), sizeof client);
    EXPECT_EQ(urd.count, 0);
    ASSERT_EQ(logged.size(), static_cast<size_t>(VRATE_PER_SECOND));
    EXPECT_EQ(logged[0],
              (std::pair<int, std::string>{LOG_WARNING, "[WARN] Destination 127.0.0.1:7879 refused "
                                                        "for 198.51.100.5:4000: loopback"}));
    logged.clear();
    uint8_t bad[10] = {0, 0, 0, 3};
    for (int i = 0; i < 1000; i++)
        urd_client_datagram(bad, sizeof bad, reinterpret_cast<const struct sockaddr *>(&client),
                            sizeof client);
    EXPECT_EQ(logged.size(), static_cast<size_t>(VRATE_PER_SECOND));
}
