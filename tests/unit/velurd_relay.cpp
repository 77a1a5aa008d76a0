// velurd: the request header check with its log line, relay sessions and
// their expiry, and the refusal of sessions select() could not watch.
#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "test_util.h"
#include "velurd_relay.h"
#include "vlog.h"

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

    EXPECT_EQ(insert(c2), nullptr);
    EXPECT_EQ(insert(c2), nullptr); // the same second: no second line
    EXPECT_EQ(insert(c1), a);       // known clients go on
    EXPECT_EQ(logged,
              (decltype(logged){{LOG_ERR, "[ERROR] Session refused for 198.51.100.6:4001: no relay "
                                          "socket below " +
                                              std::to_string(probe) + " (count 1)"}}));
    int again = socket(AF_INET, SOCK_DGRAM, 0); // nothing leaked
    EXPECT_EQ(again, probe);
    close(again);
    fake_now++;
    EXPECT_EQ(insert(c2), nullptr);
    EXPECT_EQ(logged.size(), 2u);
}
