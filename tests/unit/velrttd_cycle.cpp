#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "test_util.h"
#include "velrttd_cycle.h"
#include "velrttd_list.h"
#include "vlog.h"

using namespace test_util;
using namespace std::string_literals;

namespace
{

// veltalkd's end of a connection is one side of a socket pair.
class ExchangeTest : public ::testing::Test
{
  protected:
    int fds[2] = {-1, -1};
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        rtt_free_all();
        logged.clear();
        VLOG_SetSink(capture);
    }
    void TearDown() override
    {
        VLOG_SetSink(nullptr);
        rtt_free_all();
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    void answer(const std::string &text)
    {
        ASSERT_EQ(write(fds[1], text.data(), text.size()), (ssize_t)text.size());
        ASSERT_EQ(shutdown(fds[1], SHUT_WR), 0);
    }
    std::string received()
    {
        shutdown(fds[0], SHUT_WR);
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[1], buf, sizeof buf)) > 0)
            out.append(buf, n);
        return out;
    }
    std::vector<std::string> nums()
    {
        std::vector<std::string> v;
        for (const auto &rn : rtt.nodes)
            v.push_back(rn.num);
        return v;
    }
};

TEST_F(ExchangeTest, FetchEndsAtTheEndLineOrAtBadInputKeepingWhatWasRead)
{
    const std::string good = "R2 7 inet 198.51.100.9 443 TCP\r\nR2 8 inet 198.51.100.9 443 TCP\n";
    struct {
        const char *what;
        std::string tail;
        int result;
        std::vector<std::string> nums;
    } cases[] = {
        {"end line, nothing read after it",
         "RO\r\nR2 9 inet 198.51.100.1 1 UDP\r\n",
         0,
         {"7", "8"}},
        {"closed mid-line", "R2 9 inet 198.51.100.1 1 UD", 0, {"7", "8"}},
        {"closed without an end line", "", 0, {"7", "8"}},
        {"overlong line",
         std::string(9000, 'R') + "\r\nR2 9 inet 198.51.100.1 1 UDP\r\nRO\r\n",
         -1,
         {"7", "8"}},
        {"garbage", "\x00\xff\x01garbage\r\nR2 9 inet 198.51.100.1 1 UDP\r\n"s, -1, {"7", "8"}},
        {"port out of range",
         "R2 9 inet 198.51.100.1 70000 UDP\r\nR2 10 inet 1.2.3.4 1 UDP\r\n",
         -1,
         {"7", "8"}},
        {"longest line read whole",
         "R2 9 inet 198.51.100.1 1 UDP" + std::string(8161, ' ') + "\r\nRO\r\n",
         0,
         {"7", "8", "9"}},
        {"short line goes on",
         "R2 9 inet\r\nR2 10 inet 198.51.100.1 1 UDP\r\nRO\r\n",
         0,
         {"7", "8", "10"}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        answer(good + c.tail);
        EXPECT_EQ(handle_R2(fds[0]), c.result);
        EXPECT_EQ(nums(), c.nums);
        EXPECT_EQ(received(), "R2\r\n");
    }
}

TEST_F(ExchangeTest, RULinesInListOrderAndAPeerThatWentAway)
{
    answer("R2 7 inet 198.51.100.9 443 TCP\r\nR2 8 inet 198.51.100.9 443 TCP\r\n"
           "R2 x inet 198.51.100.2 53 UDP\r\nRO\r\n");
    ASSERT_EQ(handle_R2(fds[0]), 0);
    received();
    rtt.backends.front().rtt = 12.25;
    rtt.backends.back().rtt = -1.0;

    int p[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, p), 0);
    EXPECT_EQ(send_RU_lines(p[0]), 3);
    close(p[0]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(p[1], buf, sizeof buf)) > 0)
        out.append(buf, n);
    EXPECT_EQ(out, "RU 7 198.51.100.9 443 12.250000 0.0\r\n"
                   "RU 8 198.51.100.9 443 12.250000 0.0\r\n"
                   "RU x 198.51.100.2 53 -1.000000 0.0\r\n");

    // A closed peer fails the first write and stops the report; the process lives on.
    close(p[1]);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, p), 0);
    close(p[1]);
    logged.clear();
    EXPECT_EQ(send_RU_lines(p[0]), 0);
    close(p[0]);
    EXPECT_TRUE(has_line(LOG_ERR, "MNE_fwrite: write(2) failed, 32 Broken pipe"));
    EXPECT_EQ(logged.size(), 1u);
}

TEST_F(ExchangeTest, WhatCannotBeSentOrMeasuredWhole)
{
    EXPECT_EQ(MNE_fwrite(fds[0], "%s", std::string(RTT_LINE_SIZE, 'a').c_str()), -1);
    EXPECT_TRUE(has_line(LOG_ERR, "MNE_fwrite: line too long, 8192 bytes"));
    EXPECT_EQ(received(), ""); // nothing cut is sent

    backend be;
    be.ip = "talk.example";
    be.port = 1;
    be.protocol = "UDP";
    calcrtt_backend(&be);
    EXPECT_EQ(be.rtt, -1.0);
    EXPECT_TRUE(has_line(
        LOG_ERR, "[ERROR] calcrtt: connect(2) error to talk.example:1 22 Invalid argument"));
}

} // namespace
