#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "vas.h"
#include "vlog.h"

namespace
{

std::vector<std::pair<int, std::string>> lines;

void capture(int priority, const char *line)
{
    lines.emplace_back(priority, line);
}

TEST(vlog, tag_decides_the_priority)
{
    const struct {
        const char *text;
        int priority;
    } cases[] = {
        {"[CRIT] x", LOG_CRIT}, {"[ERROR] x", LOG_ERR}, {"[WARN] x", LOG_WARNING},
        {"[INFO] x", LOG_INFO}, {"[WARNING] x", -1},    {"[warn] x", -1},
        {" [WARN] x", -1},      {"x [ERROR]", -1},      {"", -1},
        {"[ERROR]", LOG_ERR},
    };
    for (const auto &c : cases)
        EXPECT_EQ(VLOG_Priority(c.text), c.priority) << c.text;
}

TEST(vlog, lines_reach_the_sink_formatted_at_their_level)
{
    lines.clear();
    VLOG_SetSink(capture);
    VLOG("[WARN] Drop %d of %s", 3, "them");
    VLOG("[ERROR] VELEC_%05d", 149);
    VLOG("no tag %s", "here");
    VLOG_At(LOG_WARNING, "VSS_open(2) error: %d %s", 111, "Connection refused");
    VLOG_SetSink(nullptr);
    const std::vector<std::pair<int, std::string>> want = {
        {LOG_WARNING, "[WARN] Drop 3 of them"},
        {LOG_ERR, "[ERROR] VELEC_00149"},
        {LOG_INFO, "no tag here"},
        {LOG_WARNING, "VSS_open(2) error: 111 Connection refused"},
    };
    EXPECT_EQ(lines, want);
}

int fail_here(int x)
{
    VAS_ASSERT(x == 1);
    return x;
}

TEST(vasDeathTest, failure_names_condition_function_file_and_line)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(fail_here(2), "^Assert error in fail_here\\(\\), lib_vlog\\.cpp line [0-9]+:\n"
                               "  Condition\\(x == 1\\) not true\\.\n");
    const char *p = nullptr;
    EXPECT_DEATH(AN(p), "Condition\\(p != \\(\\(void \\*\\)0\\)\\) not true");
    EXPECT_DEATH(AZ(fail_here(1)), "Condition\\(fail_here\\(1\\) == 0\\) not true");
    EXPECT_EQ(fail_here(1), 1);
}

} // namespace
