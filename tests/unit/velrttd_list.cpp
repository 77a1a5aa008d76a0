#include <gtest/gtest.h>

#include <cfloat>
#include <string>
#include <syslog.h>
#include <vector>

#include "test_util.h"
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
    static std::vector<std::string> lines(const reservednode &rn, double rttv)
    {
        rn.be->rtt = rttv;
        char buf[RTT_LINE_SIZE];
        int n = RU_format(buf, sizeof buf, &rn);
        if (n < 0)
            return {};
        return {std::string(buf, n)};
    }
};

TEST_F(R2Test, SharedBackendsRepeatedNumsAndTheEndLine)
{
    EXPECT_EQ(feed("R2 7 inet 198.51.100.9 443 TCP\r\n"), r2_line::more);
    EXPECT_EQ(feed("R2\t8  inet 198.51.100.9 443 TCP extra fields\n"), r2_line::more);
    EXPECT_EQ(feed("R2 7 inet 198.51.100.1 53 UDP\r\n"), r2_line::more);    // first 7 wins
    EXPECT_EQ(feed("R2 9 inet 198.51.100.9 443 UDP\r\n"), r2_line::more);   // other protocol
    EXPECT_EQ(feed("R2 10 inet6 198.51.100.9 443 TCP\r\n"), r2_line::more); // other family
    EXPECT_EQ(feed("R2 11 inet 198.51.100.9 0443 TCP\r\n"), r2_line::more); // same port value
    EXPECT_EQ(feed("RO\r\n"), r2_line::end);
    EXPECT_EQ(feed("ROK whatever"), r2_line::end);

    ASSERT_EQ(rtt.nodes.size(), 5u);
    ASSERT_EQ(rtt.backends.size(), 3u);
    std::vector<std::string> nums;
    std::vector<backend *> bes;
    for (const auto &rn : rtt.nodes) {
        nums.push_back(rn.num);
        bes.push_back(rn.be);
    }
    EXPECT_EQ(nums, (std::vector<std::string>{"7", "8", "9", "10", "11"}));
    backend *shared = bes[0];
    EXPECT_EQ(bes, (std::vector<backend *>{shared, shared, bes[2], bes[3], shared}));
    EXPECT_TRUE(bes[2] != shared && bes[3] != shared && bes[2] != bes[3]);
    EXPECT_EQ(shared->ip + ":" + std::to_string(shared->port) + " " + shared->protocol,
              "198.51.100.9:443 TCP");
    EXPECT_TRUE(has_line(LOG_INFO, "[INFO] reservednode 8 198.51.100.9 443 TCP\n"));
    EXPECT_EQ(logged.size(), 5u); // the ignored repeat logs nothing

    rtt_free_all();
    EXPECT_TRUE(rtt.nodes.empty());
    EXPECT_TRUE(rtt.backends.empty());
}

TEST_F(R2Test, ShortAndBrokenLines)
{
    struct {
        std::string line;
        r2_line result;
        const char *log; // nullptr: nothing logged
    } cases[] = {
        {"R2 7 inet 198.51.100.9\r\n", r2_line::more, "[ERROR] Too few arguments, 4\n"},
        {"\r\n", r2_line::more, "[ERROR] Too few arguments, 0\n"},
        {"R", r2_line::more, "[ERROR] Too few arguments, 1\n"},
        {"hello world", r2_line::bad, "[WARN] Wrong R2 line: hello"},
        {"UN a b 198.51.100.7 7000 12", r2_line::bad, "[WARN] Wrong R2 line: UN"},
        {"RU 7 inet 198.51.100.9 443 TCP", r2_line::bad, "[WARN] Wrong R2 line: RU"},
        {"R22 7 inet 198.51.100.9 443 TCP", r2_line::bad, "[WARN] Wrong R2 line: R22"},
        {"R2 7 inet 198.51.100.9 0 TCP", r2_line::bad, "[WARN] Wrong R2 port: 0"},
        {"R2 7 inet 198.51.100.9 65536 TCP", r2_line::bad, "[WARN] Wrong R2 port: 65536"},
        {"R2 7 inet 198.51.100.9 -1 TCP", r2_line::bad, "[WARN] Wrong R2 port: -1"},
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

    // a port read the way atoi reads it, and the edges of the range
    EXPECT_EQ(feed("R2 1 inet 198.51.100.9 443abc TCP"), r2_line::more);
    EXPECT_EQ(feed("R2 2 inet 198.51.100.9 1 TCP"), r2_line::more);
    EXPECT_EQ(feed("R2 3 inet 198.51.100.9 65535 TCP"), r2_line::more);
    ASSERT_EQ(rtt.backends.size(), 3u);
    EXPECT_EQ(rtt.backends.front().port, 443);
    EXPECT_EQ(rtt.backends.back().port, 65535);
}

TEST_F(R2Test, RULineAndRecordsTooLongToReport)
{
    ASSERT_EQ(feed("R2 7 inet 198.51.100.9 443 TCP"), r2_line::more);
    const reservednode &rn = rtt.nodes.front();
    EXPECT_EQ(lines(rn, 23.5), std::vector<std::string>{"RU 7 198.51.100.9 443 23.500000 0.0\r\n"});
    EXPECT_EQ(lines(rn, -1.0), std::vector<std::string>{"RU 7 198.51.100.9 443 -1.000000 0.0\r\n"});
    char small[10];
    EXPECT_EQ(RU_format(small, sizeof small, &rn), -1);

    // The longest num that still fits is accepted and formats whole even
    // with the widest time; one byte more is refused at fetch time.
    logged.clear();
    size_t room = 0;
    while (RU_fits(std::string(room + 1, 'n').c_str(), "198.51.100.9"))
        room++;
    ASSERT_GT(room, 7000u);
    EXPECT_EQ(feed("R2 " + std::string(room + 1, 'n') + " inet 198.51.100.9 443 TCP"),
              r2_line::more);
    EXPECT_EQ(rtt.nodes.size(), 1u);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].second.rfind("[WARN] Reserved node nnnn", 0), 0u);
    EXPECT_EQ(feed("R2 " + std::string(room, 'n') + " inet 198.51.100.9 65535 TCP"), r2_line::more);
    ASSERT_EQ(rtt.nodes.size(), 2u);
    auto longest = lines(rtt.nodes.back(), -DBL_MAX);
    ASSERT_EQ(longest.size(), 1u);
    EXPECT_EQ(longest[0].size(), RTT_LINE_SIZE - 1);
    EXPECT_EQ(longest[0].substr(longest[0].size() - 6), " 0.0\r\n");
}

} // namespace
