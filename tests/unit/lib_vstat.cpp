#include <gtest/gtest.h>

#include <sys/stat.h>

#include "test_util.h"
#include "vlog.h"
#include "vstat.h"

using namespace test_util;

namespace
{

class VstatTest : public ::testing::Test
{
  protected:
    scratch_dir dir;
    std::string sdir;
    void SetUp() override
    {
        ASSERT_TRUE(dir.create("/tmp/vstat.XXXXXX"));
        sdir = dir.path() + "/status";
        VSTAT_Reset(sdir.c_str());
        logged.clear();
        VLOG_SetSink(capture);
    }
    void TearDown() override
    {
        VLOG_SetSink(nullptr);
        VSTAT_Reset();
        dir.remove();
    }
    vstat_values read_back(const char *prog)
    {
        vstat_values v;
        std::string why;
        EXPECT_TRUE(VSTAT_Parse(slurp(sdir + "/" + prog), &v, &why)) << why;
        return v;
    }
};

TEST_F(VstatTest, NothingIsWrittenBeforeInit)
{
    VSTAT_Add("x_total");
    VSTAT_Report(true);
    VSTAT_Publish(true);
    struct stat sb;
    EXPECT_NE(stat(sdir.c_str(), &sb), 0);
    EXPECT_FALSE(VSTAT_Active());
}

TEST_F(VstatTest, InitWritesTheFileAndCountsStartsWithinOneBoot)
{
    ASSERT_EQ(VSTAT_Init("velumond"), 0);
    vstat_values v = read_back("velumond");
    EXPECT_EQ(v.pid, static_cast<long>(getpid()));
    EXPECT_EQ(v.starts, 1u);
    EXPECT_GT(v.start_time, 1.6e9);
    EXPECT_GE(v.updated, v.start_time);
    // Opening the log a second time in the same process is no new start.
    ASSERT_EQ(VSTAT_Init("velumond"), 0);
    EXPECT_EQ(read_back("velumond").starts, 1u);
    // Started again in the same boot: one more start.
    VSTAT_Reset(sdir.c_str());
    ASSERT_EQ(VSTAT_Init("velumond"), 0);
    EXPECT_EQ(read_back("velumond").starts, 2u);
    // A file of an earlier boot (another boot id) starts the count again.
    std::string text = slurp(sdir + "/velumond");
    size_t at = text.find("boot_id ");
    text.replace(at, text.find('\n', at) - at, "boot_id 0000");
    put(sdir + "/velumond", text);
    VSTAT_Reset(sdir.c_str());
    ASSERT_EQ(VSTAT_Init("velumond"), 0);
    EXPECT_EQ(read_back("velumond").starts, 1u);
    // A damaged file counts as none.
    put(sdir + "/velumond", "pid 12\nstar");
    VSTAT_Reset(sdir.c_str());
    ASSERT_EQ(VSTAT_Init("velumond"), 0);
    EXPECT_EQ(read_back("velumond").starts, 1u);
}

TEST_F(VstatTest, ValuesReachTheFileAtMostEveryIntervalUnlessForced)
{
    ASSERT_EQ(VSTAT_Init("veld"), 0);
    VSTAT_Add("frames_in_total", 5);
    VSTAT_Add("frames_in_total");
    VSTAT_Set("sessions_udp", 3);
    VSTAT_Publish(); // just written by Init: not yet
    EXPECT_EQ(read_back("veld").values.count("frames_in_total"), 0u);
    static int gathered;
    gathered = 0;
    VSTAT_Gatherer([] {
        gathered++;
        VSTAT_Set("sessions_tcp", 7);
    });
    VSTAT_Publish(true);
    vstat_values v = read_back("veld");
    EXPECT_EQ(gathered, 1);
    EXPECT_EQ(v.values["frames_in_total"], 6);
    EXPECT_EQ(v.values["sessions_udp"], 3);
    EXPECT_EQ(v.values["sessions_tcp"], 7);
    // No temporary file is left beside it.
    const std::string tmp = sdir + "/.veld.tmp." + std::to_string(getpid());
    EXPECT_NE(access(tmp.c_str(), F_OK), 0);
}

TEST_F(VstatTest, ReportsAreCountedAndWrittenAtOnce)
{
    ASSERT_EQ(VSTAT_Init("velcrond"), 0);
    VSTAT_Report(false);
    vstat_values v = read_back("velcrond");
    EXPECT_EQ(v.values["report_ok_total"], 0);
    EXPECT_EQ(v.values["report_failed_total"], 1);
    EXPECT_GT(v.values["report_last_failed_time"], 1.6e9);
    EXPECT_EQ(v.values.count("report_last_ok_time"), 0u);
    VSTAT_Report(true);
    VSTAT_Report(true);
    v = read_back("velcrond");
    EXPECT_EQ(v.values["report_ok_total"], 2);
    EXPECT_EQ(v.values["report_failed_total"], 1);
    EXPECT_GE(v.values["report_last_ok_time"], v.values["report_last_failed_time"]);
    // Started again: the times stay, the counts start from 0.
    VSTAT_Reset(sdir.c_str());
    ASSERT_EQ(VSTAT_Init("velcrond"), 0);
    vstat_values again = read_back("velcrond");
    EXPECT_EQ(again.values["report_last_ok_time"], v.values["report_last_ok_time"]);
    EXPECT_EQ(again.values["report_last_failed_time"], v.values["report_last_failed_time"]);
    EXPECT_EQ(again.values.count("report_ok_total"), 0u);
}

TEST_F(VstatTest, AnUnwritableDirectoryIsLoggedOnceAndPublishingStaysOff)
{
    put(sdir, "a file where the directory should be");
    EXPECT_EQ(VSTAT_Init("vellmond"), -1);
    EXPECT_FALSE(VSTAT_Active());
    VSTAT_Report(true); // no-op, no second line
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Cannot write the status file " + sdir +
                                          "/vellmond: 20 Not a directory"));
    EXPECT_EQ(logged.size(), 1u);
    EXPECT_EQ(VSTAT_Init("bad/name"), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST(VstatParse, DamagedFilesAreRefused)
{
    const char *head =
        "pid 7\nboot_id ab-12\nstarts 2\nstart_time 1700000000.5\nupdated 1700000001\n";
    struct {
        std::string text;
        bool ok;
    } cases[] = {
        {head, true},
        {std::string(head) + "records_filed_total 12\n", true},
        {std::string(head) + "records_filed_total 12", false}, // cut short
        {std::string(head) + "Bad 1\n", false},
        {std::string(head) + "x 1e\n", false},
        {std::string(head) + "x\n", false},
        {std::string(head) + "x nan\n", false},
        {"pid 7\nstarts 2\nstart_time 1\n", false}, // no updated
        {"pid 0\nstarts 2\nstart_time 1\nupdated 1\n", false},
        {"", false},
    };
    for (const auto &c : cases) {
        vstat_values v;
        std::string why;
        EXPECT_EQ(VSTAT_Parse(c.text, &v, &why), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_FALSE(why.empty());
        }
    }
    vstat_values v;
    v.pid = 9;
    v.boot_id = "ab12";
    v.starts = 1;
    v.start_time = 1700000000.25;
    v.updated = 1700000003;
    v.values["bytes_in_total"] = 123456789012345.0;
    v.values["lag_seconds"] = 0.5;
    vstat_values back;
    std::string why;
    ASSERT_TRUE(VSTAT_Parse(VSTAT_Format(v), &back, &why)) << why;
    EXPECT_EQ(back.values, v.values);
    EXPECT_EQ(back.start_time, v.start_time);
    EXPECT_EQ(back.boot_id, "ab12");
}

} // namespace
