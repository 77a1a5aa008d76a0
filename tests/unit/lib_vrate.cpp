#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "vlog.h"
#include "vrate.h"

namespace
{

std::vector<std::pair<int, std::string>> lines;
double now = 100;

void capture(int priority, const char *line)
{
    lines.emplace_back(priority, line);
}
double fake_clock()
{
    return now;
}

struct vrate_test : ::testing::Test {
    void SetUp() override
    {
        lines.clear();
        now = 100;
        VLOG_SetSink(capture);
        VRATE_SetClock(fake_clock);
    }
    void TearDown() override
    {
        VLOG_SetSink(nullptr);
        VRATE_SetClock(nullptr);
    }
};

TEST_F(vrate_test, a_flood_is_cut_to_a_few_lines_a_second_and_counted)
{
    vrate rl{"Wrong header"};
    for (int i = 0; i < 1000; i++)
        VRATE_Log(&rl, "[ERROR] Wrong header %x", i);
    ASSERT_EQ(lines.size(), static_cast<size_t>(VRATE_PER_SECOND));
    EXPECT_EQ(lines[0], std::make_pair(LOG_ERR, std::string("[ERROR] Wrong header 0")));
    EXPECT_EQ(lines[4], std::make_pair(LOG_ERR, std::string("[ERROR] Wrong header 4")));
    EXPECT_EQ(VRATE_Held(&rl), 995u);
    // Within the same second nothing more is written, not even the summary.
    now += 0.5;
    VRATE_Flush(&rl);
    VRATE_Log(&rl, "[ERROR] Wrong header %x", 1000);
    EXPECT_EQ(lines.size(), 5u);
    // The next second: the count first, then the new line whole.
    now += 0.6;
    VRATE_Log(&rl, "[ERROR] Wrong header %x", 1001);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[5], std::make_pair(LOG_ERR, std::string("[ERROR] Wrong header: 996 more "
                                                            "lines not logged")));
    EXPECT_EQ(lines[6].second, "[ERROR] Wrong header 3e9");
    EXPECT_EQ(VRATE_Held(&rl), 0u);
}

TEST_F(vrate_test, flush_reports_a_flood_that_stopped_once)
{
    vrate rl{"accept(2) error"};
    for (int i = 0; i < 8; i++)
        VRATE_LogAt(&rl, i == 7 ? LOG_WARNING : LOG_ERR, "accept(2) error: %d %s", 24, "x");
    now += 2;
    VRATE_Flush(&rl);
    VRATE_Flush(&rl);
    ASSERT_EQ(lines.size(), 6u);
    // The summary carries the most severe level held back, with its tag.
    EXPECT_EQ(lines[5], std::make_pair(LOG_ERR, std::string("[ERROR] accept(2) error: 3 more "
                                                            "lines not logged")));
    // An occasional line later is logged whole and alone.
    now += 10;
    VRATE_LogAt(&rl, LOG_ERR, "accept(2) error: %d %s", 23, "y");
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[6].second, "accept(2) error: 23 y");
}

TEST_F(vrate_test, a_clock_going_back_starts_a_new_second)
{
    vrate rl{"x"};
    rl.per_second = 1;
    VRATE_Log(&rl, "[WARN] a");
    VRATE_Log(&rl, "[WARN] b");
    now -= 5;
    VRATE_Log(&rl, "[WARN] c");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].second, "[WARN] x: 1 more lines not logged");
    EXPECT_EQ(lines[2].second, "[WARN] c");
}

} // namespace
