#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/time.h>

#include "test_util.h"
#include "velumond_retain.h"
#include "vlog.h"

using namespace test_util;

namespace
{

TEST(Retain, DaysAndFileNames)
{
    struct {
        const char *text;
        int days; // -1: refused
    } days[] = {{"31", 31}, {"0", 0},   {"36500", 36500}, {"36501", -1}, {"-1", -1},
                {"", -1},   {"7d", -1}, {" 7", -1},       {"+7", -1}};
    for (const auto &c : days) {
        int d = -2;
        EXPECT_EQ(retain_parse_days(c.text, &d), c.days < 0 ? -1 : 0) << c.text;
        if (c.days >= 0) {
            EXPECT_EQ(d, c.days);
        }
    }
    struct {
        const char *name;
        int day;
    } names[] = {{"stat_20261208.log", 20261208}, {"stat_20261308.log", -1},
                 {"stat_20261200.log", -1},       {"stat_2026120.log", -1},
                 {"stat_20261208.log.1", -1},     {"stat_2026120x.log", -1},
                 {"xstat_20261208.log", -1},      {"stat_20261208.lo", -1}};
    for (const auto &c : names)
        EXPECT_EQ(retain_file_day(c.name), c.day) << c.name;
}

TEST(Retain, SelectsOnlyOldFilesBeforeTheDeliveredOne)
{
    const std::vector<std::string> names = {"stat_20261101.log", "stat_20261130.log",
                                            "stat_20261201.log", "stat_20261208.log",
                                            "t_lastcommitted",   "stat_20251231.log"};
    using v = std::vector<std::string>;
    struct {
        int delivered, today, days;
        v out;
    } cases[] = {
        // Keep 7 days up to 8 December: the first day kept is 2 December.
        {20261208,
         20261208,
         7,
         {"stat_20261101.log", "stat_20261130.log", "stat_20261201.log", "stat_20251231.log"}},
        // The file being reported and every later one stay, whatever their age.
        {20261130, 20261208, 7, {"stat_20261101.log", "stat_20251231.log"}},
        {20261101, 20261208, 7, {"stat_20251231.log"}},
        {-1, 20261208, 7, {}},       // nothing known to be delivered
        {20261208, 20261208, 0, {}}, // keep everything
        // One day: only today's file stays; across a month and a year.
        {20261208,
         20261208,
         1,
         {"stat_20261101.log", "stat_20261130.log", "stat_20261201.log", "stat_20251231.log"}},
        {20270101,
         20270101,
         2,
         {"stat_20261101.log", "stat_20261130.log", "stat_20261201.log", "stat_20261208.log",
          "stat_20251231.log"}},
        {20261208, 20261208, 8, {"stat_20261101.log", "stat_20261130.log", "stat_20251231.log"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(retain_select(names, c.delivered, c.today, c.days), c.out)
            << c.delivered << " " << c.today << " " << c.days;
}

TEST(Retain, PassRemovesReportedQuietFilesAndKeepsTheRest)
{
    scratch_dir dir;
    ASSERT_TRUE(dir.create("/tmp/retain.XXXXXX"));
    const std::string d = dir.path();
    const double now = 1796774400; // 2026-12-08 00:00:00 UTC
    auto file = [&](const char *name, double mtime) {
        std::string p = d + "/" + name;
        put(p, "x\n");
        struct timeval tv[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
        EXPECT_EQ(utimes(p.c_str(), tv), 0);
    };
    file("stat_20261001.log", now - 60 * 86400);
    file("stat_20261002.log", now - 60); // written to lately: a clock stepped back
    file("stat_20261020.log", now - 40 * 86400);
    file("stat_20261207.log", now - 3600);
    put(d + "/delivered", "stat_20261020.log 123 1796000000 77\n");
    logged.clear();
    VLOG_SetSink(capture);
    EXPECT_EQ(retain_pass(d.c_str(), (d + "/delivered").c_str(), now, 31), 1);
    EXPECT_NE(access((d + "/stat_20261001.log").c_str(), F_OK), 0);
    for (const char *kept : {"stat_20261002.log", "stat_20261020.log", "stat_20261207.log"})
        EXPECT_EQ(access((d + "/" + kept).c_str(), F_OK), 0) << kept;
    EXPECT_TRUE(has_line(LOG_INFO, "[INFO] Retention: removed " + d +
                                       "/stat_20261001.log (older than 31 days, every record "
                                       "reported)"));
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Retention: keeping " + d +
                                          "/stat_20261020.log past 31 days: not all its records "
                                          "are reported yet"));
    // The next pass says nothing new about the files it keeps.
    size_t lines = logged.size();
    EXPECT_EQ(retain_pass(d.c_str(), (d + "/delivered").c_str(), now, 31), 0);
    EXPECT_EQ(logged.size(), lines);
    // Once a later file is delivered, the kept one goes.
    put(d + "/delivered", "stat_20261207.log 5 1796000000 78\n");
    EXPECT_EQ(retain_pass(d.c_str(), (d + "/delivered").c_str(), now, 31), 1);
    EXPECT_NE(access((d + "/stat_20261020.log").c_str(), F_OK), 0);
    // Without a delivered position nothing goes.
    file("stat_20261003.log", now - 60 * 86400);
    unlink((d + "/delivered").c_str());
    EXPECT_EQ(retain_pass(d.c_str(), (d + "/delivered").c_str(), now, 31), 0);
    VLOG_SetSink(nullptr);
    dir.remove();
}

} // namespace
