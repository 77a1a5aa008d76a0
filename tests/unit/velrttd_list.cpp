#include <gtest/gtest.h>

#include <cfloat>
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

class R2Test : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        rtt_free_all();
        rtt.verbose = 2;
        logged.clear();
        VLOG_SetSink(capture);
    }
    void TearDown() override
    {
        VLOG_SetSink(nullptr);
        rtt_free_all();
        rtt.verbose = 0;
    }
    static r2_line feed(const std::string &text)
    {
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        return handle_R2_line(buf.data(), text.size());
    }
    static std::string ru(const reservednode &rn, double rttv)
    {
        rn.be->rtt = rttv;
        char buf[RTT_LINE_SIZE];
        int n = RU_format(buf, sizeof buf, &rn);
        return n < 0 ? "(none)" : std::string(buf, n);
    }
    static std::vector<std::string> nums()
    {
        std::vector<std::string> v;
        for (const auto &rn : rtt.nodes)
            v.push_back(rn.num);
        return v;
    }
};

TEST_F(R2Test, SharedBackendsRepeatedNumsAndPorts)
{
    EXPECT_EQ(feed("R2 7 inet 198.51.100.9 443 TCP\r\n"), r2_line::more);
    EXPECT_EQ(feed("R2\t8  inet 198.51.100.9 443 TCP extra fields\n"), r2_line::more);
    EXPECT_EQ(feed("R2 7 inet 198.51.100.1 53 UDP\r\n"), r2_line::more);      // first 7 wins
    EXPECT_EQ(feed("R2 9 inet 198.51.100.9 443 UDP\r\n"), r2_line::more);     // other protocol
    EXPECT_EQ(feed("R2 10 inet6 198.51.100.9 443 TCP\r\n"), r2_line::more);   // other family
    EXPECT_EQ(feed("R2 11 inet 198.51.100.9 443abc TCP\r\n"), r2_line::more); // read like atoi
    EXPECT_EQ(feed("R2 12 inet 198.51.100.9 65535 TCP\r\n"), r2_line::more);
    EXPECT_EQ(feed("RO\r\n"), r2_line::end);

    EXPECT_EQ(nums(), (std::vector<std::string>{"7", "8", "9", "10", "11", "12"}));
    std::vector<backend *> bes;
    for (const auto &rn : rtt.nodes)
        bes.push_back(rn.be);
    backend *shared = bes[0];
    EXPECT_EQ(bes[1], shared);
    EXPECT_EQ(bes[4], shared);
    EXPECT_TRUE(bes[2] != shared && bes[3] != shared && bes[2] != bes[3] && bes[5] != shared);
    EXPECT_EQ(rtt.backends.size(), 4u);
    EXPECT_EQ(bes[5]->port, 65535);
    EXPECT_TRUE(has_line(LOG_INFO, "[INFO] reservednode 8 198.51.100.9 443 TCP\n"));
    EXPECT_EQ(logged.size(), 6u); // the ignored repeat logs nothing
}

// Each cycle starts from nothing: what the last one read is no repeat.
TEST_F(R2Test, TheNextCycleKnowsNothingOfTheLast)
{
    EXPECT_EQ(feed("R2 7 inet 198.51.100.9 443 TCP\r\n"), r2_line::more);
    rtt_free_all();
    EXPECT_EQ(feed("R2 7 inet 198.51.100.9 443 TCP\r\n"), r2_line::more);
    EXPECT_EQ(feed("R2 8 inet 198.51.100.9 0443 TCP\r\n"), r2_line::more);
    EXPECT_EQ(nums(), (std::vector<std::string>{"7", "8"}));
    ASSERT_EQ(rtt.backends.size(), 1u);
    EXPECT_EQ(rtt.nodes.back().be, &rtt.backends.front());
}

TEST_F(R2Test, ShortAndBrokenLines)
{
    struct {
        std::string line;
        r2_line result;
        const char *log;
    } cases[] = {
        {"R2 7 inet 198.51.100.9\r\n", r2_line::more, "[ERROR] Too few arguments, 4\n"},
        {"\r\n", r2_line::more, "[ERROR] Too few arguments, 0\n"},
        {"UN a b 198.51.100.7 7000 12", r2_line::bad, "[WARN] Wrong R2 line: UN"},
        {"R22 7 inet 198.51.100.9 443 TCP", r2_line::bad, "[WARN] Wrong R2 line: R22"},
        {"R2 7 inet 198.51.100.9 0 TCP", r2_line::bad, "[WARN] Wrong R2 port: 0"},
        {"R2 7 inet 198.51.100.9 65536 TCP", r2_line::bad, "[WARN] Wrong R2 port: 65536"},
        {"R2 7 inet 198.51.100.9 4294967739 TCP", r2_line::bad, "[WARN] Wrong R2 port: 4294967739"},
        {"R2 7 inet 198.51.100.9 http TCP", r2_line::bad, "[WARN] Wrong R2 port: http"},
        {"R2 7 inet 198.51.100.9\0 443 TCP"s, r2_line::bad, "[WARN] Wrong R2 line: NUL byte at 22"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line.c_str());
        logged.clear();
        EXPECT_EQ(feed(c.line), c.result);
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_EQ(logged[0].second, c.log);
    }
    EXPECT_TRUE(rtt.nodes.empty());
    EXPECT_TRUE(rtt.backends.empty());
}

TEST_F(R2Test, RULineAndRecordsTooLongToReport)
{
    ASSERT_EQ(feed("R2 7 inet 198.51.100.9 443 TCP"), r2_line::more);
    const reservednode &rn = rtt.nodes.front();
    EXPECT_EQ(ru(rn, 23.5), "RU 7 198.51.100.9 443 23.500000 0.0\r\n");
    EXPECT_EQ(ru(rn, -1.0), "RU 7 198.51.100.9 443 -1.000000 0.0\r\n");

    // The longest num that still fits is accepted and formats whole even
    // with the widest time; one byte more is refused at fetch time.
    size_t room = 0;
    while (RU_fits(std::string(room + 1, 'n').c_str(), "198.51.100.9"))
        room++;
    ASSERT_GT(room, 7000u);
    logged.clear();
    EXPECT_EQ(feed("R2 " + std::string(room + 1, 'n') + " inet 198.51.100.9 443 TCP"),
              r2_line::more);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].second.rfind("[WARN] Reserved node nnnn", 0), 0u);
    EXPECT_EQ(feed("R2 " + std::string(room, 'n') + " inet 198.51.100.9 65535 TCP"), r2_line::more);
    ASSERT_EQ(rtt.nodes.size(), 2u);
    std::string longest = ru(rtt.nodes.back(), -DBL_MAX);
    EXPECT_EQ(longest.size(), RTT_LINE_SIZE - 1);
    EXPECT_EQ(longest.substr(longest.size() - 6), " 0.0\r\n");

    // MNE_fwrite never sends a cut line either
    int p[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, p), 0);
    EXPECT_EQ(MNE_fwrite(p[0], "%s", std::string(RTT_LINE_SIZE, 'a').c_str()), -1);
    EXPECT_TRUE(has_line(LOG_ERR, "MNE_fwrite: line too long, 8192 bytes"));
    char c;
    EXPECT_EQ(read(p[1], &c, 1), -1);
    close(p[0]);
    close(p[1]);
}

// veltalkd's end of a connection is one side of a socket pair.
TEST_F(R2Test, FetchEndsAtTheEndLineOrAtBadInputKeepingWhatWasRead)
{
    const std::string good = "R2 7 inet 198.51.100.9 443 TCP\r\nR2 8 inet 198.51.100.9 443 TCP\n";
    const std::string next = "R2 9 inet 198.51.100.1 1 UDP\r\n";
    struct {
        const char *what;
        std::string tail;
        int result;
        std::vector<std::string> nums;
    } cases[] = {
        {"end line, nothing read after it", "RO\r\n" + next, 0, {"7", "8"}},
        {"closed mid-line", "R2 9 inet 198.51.100.1 1 UD", 0, {"7", "8"}},
        {"overlong line", std::string(9000, 'R') + "\r\n" + next + "RO\r\n", -1, {"7", "8"}},
        {"garbage", "\x00\xff\x01garbage\r\n"s + next, -1, {"7", "8"}},
        {"longest line read whole",
         "R2 9 inet 198.51.100.1 1 UDP" + std::string(8161, ' ') + "\r\nRO\r\n",
         0,
         {"7", "8", "9"}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.what);
        rtt_free_all();
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        std::string text = good + c.tail;
        ASSERT_EQ(write(fds[1], text.data(), text.size()), (ssize_t)text.size());
        shutdown(fds[1], SHUT_WR);
        EXPECT_EQ(handle_R2(fds[0]), c.result);
        EXPECT_EQ(nums(), c.nums);
        close(fds[0]);
        char buf[16];
        ssize_t n = read(fds[1], buf, sizeof buf);
        EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "R2\r\n");
        close(fds[1]);
    }
}

TEST_F(R2Test, APeerThatWentAwayAndAnAddressThatIsNotIPv4)
{
    ASSERT_EQ(feed("R2 7 inet 198.51.100.9 443 TCP"), r2_line::more);
    int p[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, p), 0);
    close(p[1]);
    logged.clear();
    EXPECT_EQ(send_RU_lines(p[0]), 0); // no SIGPIPE: the report stops, the process lives on
    close(p[0]);
    EXPECT_TRUE(has_line(LOG_ERR, "MNE_fwrite: write(2) failed, 32 Broken pipe"));

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
