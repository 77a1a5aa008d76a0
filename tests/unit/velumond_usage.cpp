#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "velumond_geo.h"
#include "velumond_usage.h"
#include "test_util.h"
#include "vlog.h"
#include "vsb.h"
#include "vtim.h"

using namespace test_util;

namespace
{

constexpr int64_t T0 = 1796651033; // Mon, 07 Dec 2026 13:43:53 GMT

std::string stamp(int64_t t)
{
    char buf[VTIM_PRINT_SIZE];
    VTIM_print(buf, "%a, %d %b %Y %T GMT", (double)t);
    return buf;
}

// A record line as the tunnel daemon writes it.
std::string kline(int64_t t, const std::string &mac, const std::string &host,
                  const std::string &addr, long in, long out)
{
    return stamp(t) + ";" + std::to_string(t) + ".25;1234.50;" + host + ";40001;" + mac + ";K;" +
           addr + ";" + std::to_string(in) + ";" + std::to_string(out) + ";D\n";
}
std::string uline(int64_t t, const std::string &mac, const std::string &host, long in, long out)
{
    return stamp(t) + ";" + std::to_string(t) + ".25;1234.50;" + host + ";40001;" + mac + ";U;-;" +
           std::to_string(in) + ";" + std::to_string(out) + ";D\n";
}

int feed(const std::string &text)
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back('\0');
    return parseLine(buf.data());
}

in_addr_t ip(const char *s)
{
    return inet_addr(s);
}

class UsageTest : public ::testing::Test
{
  protected:
    scratch_dir scratch;
    std::string dir;
    void SetUp() override
    {
        ASSERT_TRUE(scratch.create("/tmp/velumond_usage.XXXXXX"));
        dir = scratch.path();
        put(dir + "/country", "KR\n");
        put(dir + "/geo.csv",
            "\"1.11.0.0\",\"1.11.255.255\",\"17498112\",\"17563647\",\"KR\",\"Korea, Republic "
            "of\"\n");
        GEO_Reset();
        ASSERT_EQ(geo_load_from((dir + "/country").c_str(), (dir + "/geo.csv").c_str()), 0);
        UMON_Reset();
        logged.clear();
        VLOG_SetSink(capture);
    }
    void TearDown() override
    {
        VLOG_SetSink(nullptr);
        UMON_Reset();
        GEO_Reset();
        ASSERT_TRUE(scratch.remove());
    }
};

const std::string MAC1 = "02:00:00:0a:0b:0c";
const std::string MAC2 = "02:00:00:00:00:01";

TEST_F(UsageTest, KLinesSplitLocalAndRemoteAndAggregateInOrder)
{
    EXPECT_EQ(feed(kline(T0, MAC1, "10.0.0.2", "1.11.0.1", 100, 200)), 0);      // local
    EXPECT_EQ(feed(kline(T0, MAC1, "10.0.0.2", "8.8.8.8", 10, 20)), 0);         // remote
    EXPECT_EQ(feed(kline(T0, MAC1, "10.0.0.2", "10.0.0.2", 70, 80)), 0);        // transport
    EXPECT_EQ(feed(kline(T0 + 1, MAC1, "10.0.0.2", "1.11.0.1", 1, 2)), 0);      // same key
    EXPECT_EQ(feed(kline(T0 + 1, MAC2, "10.0.0.2", "1.11.0.1", 5, 6)), 0);      // other MAC
    EXPECT_EQ(feed(kline(T0 + 1, MAC1, "10.0.0.3", "1.11.0.1", 7, 8)), 0);      // other host
    EXPECT_EQ(feed(kline(T0 + 2, MAC1, "10.0.0.2", "8.8.8.8", 1000, 3000)), 0); // same key

    const auto &l = umon_list();
    ASSERT_EQ(l.size(), 5u);
    EXPECT_EQ(l[0].dst, ip("1.11.0.1"));
    EXPECT_EQ(l[0].local_in, 101);
    EXPECT_EQ(l[0].local_out, 202);
    EXPECT_EQ(l[0].remote_in, 0);
    EXPECT_EQ(l[1].dst, ip("8.8.8.8"));
    EXPECT_EQ(l[1].remote_in, 1010);
    EXPECT_EQ(l[1].remote_out, 3020);
    EXPECT_EQ(l[1].local_in + l[1].local_out, 0);
    EXPECT_EQ(l[2].dst, ip("10.0.0.2"));
    EXPECT_EQ(l[2].remote_in, 70);
    EXPECT_EQ(l[3].mac[5], 0x01);
    EXPECT_EQ(l[3].local_in, 5);
    EXPECT_EQ(l[4].src, ip("10.0.0.3"));
    EXPECT_EQ(l[4].local_out, 8);
    EXPECT_EQ(umon_watermark(), T0 + 2);
    EXPECT_TRUE(logged.empty());
}

TEST_F(UsageTest, ULinesWithAndWithoutDash)
{
    EXPECT_EQ(feed(uline(T0, MAC1, "10.0.0.2", 70, 90)), 0);
    // without the "-" the counts are pieces 8 and 9
    EXPECT_EQ(feed(stamp(T0) + ";1.00;2.00;10.0.0.2;40001;" + MAC1 + ";U;3;4;D\n"), 0);
    const auto &l = umon_list();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].dst, INADDR_NONE);
    EXPECT_EQ(l[0].local_in, 73);
    EXPECT_EQ(l[0].local_out, 94);
    EXPECT_EQ(l[0].remote_in + l[0].remote_out, 0);

    // nine pieces with "-": there is no out count to read
    EXPECT_EQ(feed(stamp(T0) + ";1.00;2.00;10.0.0.2;40001;" + MAC1 + ";U;-;5\n"), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong format line for U: " + stamp(T0)));
    EXPECT_EQ(umon_list()[0].local_in, 73);
}

TEST_F(UsageTest, WatermarkDropsOlderAcceptsEqualAndMovesBeforeLaterChecks)
{
    umon_set_watermark(T0);
    EXPECT_EQ(feed(kline(T0 - 1, MAC1, "10.0.0.2", "8.8.8.8", 1, 1)), -1);
    EXPECT_TRUE(logged.empty()); // dropped silently
    EXPECT_TRUE(umon_list().empty());
    EXPECT_EQ(feed(kline(T0, MAC1, "10.0.0.2", "8.8.8.8", 1, 1)), 0);
    EXPECT_EQ(umon_list().size(), 1u);

    // a newer line rejected for its source address still moves the watermark
    EXPECT_EQ(feed(kline(T0 + 50, MAC1, "255.255.255.255", "8.8.8.8", 1, 1)), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong format line for src IP: 255.255.255.255"));
    EXPECT_EQ(umon_watermark(), T0 + 50);
    EXPECT_EQ(feed(kline(T0 + 49, MAC1, "10.0.0.2", "8.8.8.8", 1, 1)), -1);
    EXPECT_EQ(umon_list()[0].remote_in, 1);
}

TEST_F(UsageTest, LinesDatedFarAheadOfTheClockAreRefused)
{
    int64_t now = (int64_t)VTIM_real();
    umon_set_watermark(T0);
    // More than a day ahead: refused, also when otherwise bad, and the
    // watermark stays where it was.
    for (const std::string &l : {kline(now + 2 * 86400, MAC1, "10.0.0.2", "8.8.8.8", 1, 1),
                                 kline(now + 86400 + 60, MAC1, "255.255.255.255", "8.8.8.8", 1, 1),
                                 kline(INT32_MAX, MAC1, "10.0.0.2", "8.8.8.8", 1, 1)}) {
        logged.clear();
        EXPECT_EQ(feed(l), -1) << l;
        EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong format line for time: " + l.substr(0, 29)))
            << l;
        EXPECT_EQ(umon_watermark(), T0);
    }
    // The records that follow are counted.
    EXPECT_EQ(feed(kline(T0 + 1, MAC1, "10.0.0.2", "8.8.8.8", 5, 6)), 0);
    // A clock a little behind the writer's is no reason to refuse.
    EXPECT_EQ(feed(kline(now + 3600, MAC1, "10.0.0.2", "8.8.8.8", 1, 1)), 0);
    EXPECT_EQ(umon_watermark(), now + 3600);
    EXPECT_EQ(umon_list()[0].remote_in, 6);
}

TEST_F(UsageTest, DailyFileOfAnotherKindIsRefusedWithoutBlocking)
{
    // A FIFO with no writer would block a plain open for good.
    alarm(20);
    std::string fifo = dir + "/stat_fifo.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    for (const char *mode : {"r", "a+"}) {
        errno = 0;
        EXPECT_EQ(umon_fopen_daily(fifo.c_str(), mode), nullptr) << mode;
        EXPECT_EQ(errno, EINVAL) << mode;
        EXPECT_EQ(umon_fopen_daily(dir.c_str(), mode), nullptr) << mode;
    }
    alarm(0);
    std::string missing = dir + "/none/stat.log";
    EXPECT_EQ(umon_fopen_daily(missing.c_str(), "a+"), nullptr);
    EXPECT_EQ(errno, ENOENT);

    // A regular file: created for appending, appended to, read back.
    std::string f = dir + "/stat_1.log";
    std::string l1 = kline(T0, MAC1, "10.0.0.2", "8.8.8.8", 1, 2);
    for (int i = 0; i < 2; i++) {
        FILE *w = umon_fopen_daily(f.c_str(), "a+");
        ASSERT_NE(w, nullptr);
        std::fputs(l1.c_str(), w);
        std::fclose(w);
    }
    FILE *r = umon_fopen_daily(f.c_str(), "r");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(umon_read_lines(r), umon_tail::end_of_file);
    std::fclose(r);
    ASSERT_EQ(umon_list().size(), 1u);
    EXPECT_EQ(umon_list()[0].remote_in, 2);
}

TEST_F(UsageTest, MalformedLinesAreDroppedWithTheirMessage)
{
    EXPECT_EQ(feed("a;b;c;d;e;f;g;h\n"), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong format line: a"));
    EXPECT_EQ(feed("yesterday;b;c;d;e;f;K;h;i;j\n"), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong format line for time: yesterday"));

    std::string head = stamp(T0) + ";1.00;2.00;";
    EXPECT_EQ(feed(head + "10.0.0.x;1;" + MAC1 + ";K;8.8.8.8;1;2;D\n"), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong format line for src IP: 10.0.0.x"));
    EXPECT_EQ(feed(head + "10.0.0.2;1;" + MAC1 + ";K;8.8.8.8;1\n"), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong format line for K: " + stamp(T0)));
    // the line quoted is what is left of it after splitting in place
    logged.clear();
    EXPECT_EQ(feed(";" + head + "10.0.0.2;1;" + MAC1 + ";K;8.8.8.8;1\n"), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong format line for K: "));
    EXPECT_EQ(feed(head + "10.0.0.2;1;" + MAC1 + ";K;255.255.255.255;1;2;D\n"), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong format line for dst IP: 255.255.255.255"));
    EXPECT_EQ(feed(head + "10.0.0.2;1;" + MAC1 + ";X;8.8.8.8;1;2;D\n"), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "Unexpected ltype: X"));

    // an empty MAC text shifts every later piece
    EXPECT_EQ(feed(head + "10.0.0.2;1;;K;8.8.8.8;1;2;D\n"), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "Unexpected ltype: 8.8.8.8"));

    EXPECT_EQ(feed(head + "10.0.0.2;1;zz:00:00:00:00:01;K;8.8.8.8;1;2;D\n"), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Wrong format line for MAC: zz:00:00:00:00:01"));
    EXPECT_TRUE(umon_list().empty());
}

TEST_F(UsageTest, BadNumbers)
{
    std::string head = stamp(T0) + ";1.00;2.00;10.0.0.2;1;" + MAC1 + ";K;8.8.8.8;";
    EXPECT_EQ(feed(head + "abc;2;D\n"), -1);
    EXPECT_TRUE(has_line(LOG_WARNING, "No digits were found"));
    EXPECT_TRUE(has_line(LOG_WARNING, "Wrong format for local ibytes: abc"));
    EXPECT_EQ(feed(head + "1;99999999999999999999;D\n"), -1);
    EXPECT_TRUE(
        has_line(LOG_WARNING, "MNE_strtol: strtol failed, 34 Numerical result out of range"));
    EXPECT_TRUE(has_line(LOG_WARNING, "Wrong format for local obytes: 99999999999999999999"));
    EXPECT_TRUE(umon_list().empty());

    // trailing text after the digits is ignored, signs are read
    EXPECT_EQ(feed(head + "12kB;-3;D\n"), 0);
    ASSERT_EQ(umon_list().size(), 1u);
    EXPECT_EQ(umon_list()[0].remote_in, 12);
    EXPECT_EQ(umon_list()[0].remote_out, -3);

    // sums past 64 bits wrap (and stay defined)
    EXPECT_EQ(feed(head + "9223372036854775807;0;D\n"), 0);
    EXPECT_EQ(feed(head + "2;0;D\n"), 0);
    EXPECT_EQ(umon_list()[0].remote_in, INT64_MIN + 13); // 12 + (2^63 - 1) + 2

    long v = 7;
    EXPECT_EQ(MNE_strtol(&v, "-9223372036854775809"), -1);
    EXPECT_EQ(MNE_strtol(&v, "9223372036854775807"), 0);
    EXPECT_EQ(v, 9223372036854775807L);
}

TEST_F(UsageTest, ReportBodyBytes)
{
    ASSERT_EQ(feed(kline(T0, MAC1, "10.0.0.2", "1.11.0.1", 100, 200)), 0);
    ASSERT_EQ(feed(kline(T0, MAC1, "10.0.0.2", "8.8.8.8", 10, 20)), 0);
    ASSERT_EQ(feed(uline(T0, MAC2, "192.168.1.9", 70, 90)), 0);

    struct vsb *body = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    ASSERT_NE(body, nullptr);
    umon_fill_body(body, nullptr);
    ASSERT_EQ(VSB_finish(body), 0);
    EXPECT_STREQ(VSB_data(body), "result[]=2:0:0:a:b:c;100;200;0;0;10.0.0.2;1.11.0.1&"
                                 "result[]=2:0:0:a:b:c;0;0;10;20;10.0.0.2;8.8.8.8&"
                                 "result[]=2:0:0:0:0:1;70;90;0;0;192.168.1.9;255.255.255.255&");
    VSB_delete(body);
}

TEST_F(UsageTest, LastCommittedFileEdgeCases)
{
    std::string f = dir + "/t_lastcommitted";
    double now = (double)T0;

    EXPECT_EQ(umon_read_lastcommitted(f.c_str(), now), 0);
    EXPECT_TRUE(has_line(LOG_ERR, "[ERROR] Failed to open " + f + ": 2 No such file or directory"));

    put(f, "");
    EXPECT_EQ(umon_read_lastcommitted(f.c_str(), now), 0);
    EXPECT_TRUE(has_line(LOG_ERR, "[ERROR] Failed to read: 0 Success"));

    put(f, "7");
    EXPECT_EQ(umon_read_lastcommitted(f.c_str(), now), 0);
    EXPECT_TRUE(has_line(LOG_ERR, "[ERROR] Failed to read: 22 Invalid argument"));

    put(f, "garbage");
    EXPECT_EQ(umon_read_lastcommitted(f.c_str(), now), 0);
    EXPECT_TRUE(has_line(LOG_WARNING, "No digits were found"));

    put(f, "1796651000\n");
    logged.clear();
    EXPECT_EQ(umon_read_lastcommitted(f.c_str(), now), 1796651000);
    EXPECT_TRUE(logged.empty());

    put(f, std::to_string(T0 + 3600));
    EXPECT_EQ(umon_read_lastcommitted(f.c_str(), now), T0 + 3600); // kept all the same
    EXPECT_TRUE(has_line(LOG_ERR, "[ERROR] timefile points to the future."));
}

TEST_F(UsageTest, LastCommittedWriteReplacesWholeFile)
{
    std::string f = dir + "/t_lastcommitted";
    put(f, "99999999999999");
    ASSERT_EQ(umon_write_lastcommitted(f.c_str(), T0), 0);
    EXPECT_EQ(slurp(f), std::to_string(T0));
    EXPECT_NE(access((f + ".tmp").c_str(), F_OK), 0);
    EXPECT_EQ(umon_read_lastcommitted(f.c_str(), (double)T0), T0);

    // a stale temporary file of a crashed run is overwritten
    put(f + ".tmp", "12345678901234567890");
    ASSERT_EQ(umon_write_lastcommitted(f.c_str(), -5), 0);
    EXPECT_EQ(slurp(f), "-5");

    std::string bad = dir + "/missing/t_lastcommitted";
    EXPECT_EQ(umon_write_lastcommitted(bad.c_str(), T0), -1);
    EXPECT_TRUE(
        has_line(LOG_ERR, "[ERROR] Failed to open " + bad + ": 2 No such file or directory"));
}

TEST_F(UsageTest, TailRereadsPartialLines)
{
    std::string f = dir + "/stat.log";
    std::string l1 = kline(T0, MAC1, "10.0.0.2", "8.8.8.8", 1, 2);
    std::string l2 = kline(T0, MAC1, "10.0.0.2", "8.8.8.8", 30, 40);
    put(f, l1 + l2.substr(0, 20));
    FILE *fp = std::fopen(f.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(umon_read_lines(fp), umon_tail::partial_line);
    ASSERT_EQ(umon_list().size(), 1u);
    EXPECT_EQ(umon_list()[0].remote_in, 1);

    {
        std::ofstream app(f, std::ios::binary | std::ios::app);
        app << l2.substr(20);
    }
    EXPECT_EQ(umon_read_lines(fp), umon_tail::end_of_file);
    EXPECT_EQ(umon_list()[0].remote_in, 31);
    EXPECT_EQ(umon_list()[0].remote_out, 42);
    EXPECT_EQ(umon_read_lines(fp), umon_tail::end_of_file); // nothing new: nothing counted twice
    EXPECT_EQ(umon_list()[0].remote_in, 31);
    std::fclose(fp);
    EXPECT_TRUE(logged.empty());
}

TEST_F(UsageTest, DayOverReadsWhatTheOldFileStillHolds)
{
    std::string old = dir + "/stat_1.log", next = dir + "/stat_2.log";
    std::string l1 = kline(T0, MAC1, "10.0.0.2", "8.8.8.8", 1, 2);
    std::string l2 = kline(T0, MAC1, "10.0.0.2", "8.8.8.8", 30, 40);
    put(old, l1);
    FILE *fp = std::fopen(old.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    EXPECT_EQ(umon_read_lines(fp), umon_tail::end_of_file);
    // the writer's last line of the day, and one it never finished
    {
        std::ofstream app(old, std::ios::binary | std::ios::app);
        app << l2 << l2.substr(0, 20);
    }
    EXPECT_FALSE(umon_day_over(fp, next)); // no new file yet: keep following this one
    EXPECT_EQ(umon_list()[0].remote_in, 1);
    put(next, "");
    EXPECT_TRUE(umon_day_over(fp, next));
    EXPECT_EQ(umon_list()[0].remote_in, 31);
    EXPECT_EQ(umon_list()[0].remote_out, 42);
    std::fclose(fp);
}

TEST_F(UsageTest, DeliveredPositionIsStoredAndCheckedAgainstItsFile)
{
    std::string pos = dir + "/t_delivered", lc = dir + "/t_lastcommitted";
    std::string daily = dir + "/stat_20261207.log";
    std::string l1 = kline(T0, MAC1, "10.0.0.2", "8.8.8.8", 1, 2);
    put(daily, l1 + l1);
    FILE *fp = std::fopen(daily.c_str(), "r");
    ASSERT_NE(fp, nullptr);
    ASSERT_EQ(umon_write_delivered(pos.c_str(), lc.c_str(), daily, fp, (long)l1.size(), T0), 0);
    std::fclose(fp);
    EXPECT_EQ(slurp(lc), std::to_string(T0));
    umon_resume r;
    ASSERT_EQ(umon_read_delivered(pos.c_str(), daily, &r), 0);
    EXPECT_EQ(r.offset, (long)l1.size());
    EXPECT_EQ(r.watermark, T0);
    EXPECT_TRUE(logged.empty());

    // Each is ignored with one warning, and the daily file is read from its start.
    std::string good = slurp(pos);
    std::string ino = good.substr(good.rfind(' ') + 1);
    struct Case {
        std::string content;
        std::string why;
    } cases[] = {
        {"", "empty or unreadable"},
        {"stat_20261207.log 12", "damaged"},
        {"stat_20261207.log x 1 2\n", "damaged"},
        {"stat_20261207.log -4 1 " + ino, "damaged"},
        {good + "junk", "damaged"},
        {"stat_20261206.log 0 " + std::to_string(T0) + " " + ino, "it is for another day's file"},
        {"stat_20261207.log 0 1 " + std::to_string(std::stoull(ino) + 1),
         "its daily file was replaced"},
        {"stat_20261207.log 99999 1 " + ino, "it points past the end of its file"},
        {"stat_20261207.log 7 1 " + ino, "it is not at the start of a line"},
    };
    for (const auto &c : cases) {
        put(pos, c.content);
        logged.clear();
        EXPECT_EQ(umon_read_delivered(pos.c_str(), daily, &r), -1) << c.content;
        EXPECT_EQ(logged,
                  (std::vector<std::pair<int, std::string>>{
                      {LOG_WARNING, "[WARN] Delivered position " + pos + " ignored: " + c.why}}))
            << c.content;
    }
    ASSERT_EQ(unlink(pos.c_str()), 0);
    logged.clear();
    EXPECT_EQ(umon_read_delivered(pos.c_str(), daily, &r), -1);
    EXPECT_TRUE(
        has_line(LOG_WARNING, "[WARN] Delivered position " + pos +
                                  " ignored: cannot open it (2 No such file or directory)"));
    // The end of the file is a line start too.
    put(pos, "stat_20261207.log " + std::to_string(2 * l1.size()) + " 5 " + ino);
    EXPECT_EQ(umon_read_delivered(pos.c_str(), daily, &r), 0);
    EXPECT_EQ(r.offset, (long)(2 * l1.size()));
}

TEST_F(UsageTest, UnfinishedLastLineIsCutOff)
{
    std::string f = dir + "/stat.log";
    struct Case {
        std::string before, after;
    } cases[] = {
        {"a;1\nb;2\npart", "a;1\nb;2\n"},
        {"a;1\n", "a;1\n"},
        {"", ""},
        {"no line end at all", ""},
        {std::string(5000, 'x') + "\n" + std::string(5000, 'y'), std::string(5000, 'x') + "\n"},
    };
    for (const auto &c : cases) {
        put(f, c.before);
        logged.clear();
        FILE *fp = umon_fopen_daily(f.c_str(), "a+");
        ASSERT_NE(fp, nullptr);
        long cut = (long)(c.before.size() - c.after.size());
        EXPECT_EQ(umon_mend_daily(fp, f.c_str()), cut);
        // The next line starts a line of its own.
        std::fputs("c;3\n", fp);
        std::fclose(fp);
        EXPECT_EQ(slurp(f), c.after + "c;3\n");
        EXPECT_EQ(logged.size(), cut > 0 ? 1u : 0u);
    }
}

// A kill in the middle of an append leaves half a line; the reader waits at
// it, the restarted shmlog thread cuts it off and files the record whole: it
// is counted once, and nothing is glued to the fragment.
TEST_F(UsageTest, HalfLineLeftByAKillIsCountedOnceWhenFiledAgain)
{
    std::string f = dir + "/stat.log";
    std::string l1 = kline(T0, MAC1, "10.0.0.2", "8.8.8.8", 1, 2);
    std::string l2 = kline(T0 + 1, MAC1, "10.0.0.2", "8.8.8.8", 30, 40);
    put(f, l1 + l2.substr(0, 25));
    FILE *rd = umon_fopen_daily(f.c_str(), "r");
    ASSERT_NE(rd, nullptr);
    EXPECT_EQ(umon_read_lines(rd), umon_tail::partial_line);
    FILE *wr = umon_fopen_daily(f.c_str(), "a+");
    ASSERT_NE(wr, nullptr);
    EXPECT_EQ(umon_mend_daily(wr, f.c_str()), 25);
    EXPECT_EQ(umon_read_lines(rd), umon_tail::end_of_file); // not stuck at the cut
    std::fputs(l2.c_str(), wr);
    std::fflush(wr);
    EXPECT_EQ(umon_read_lines(rd), umon_tail::end_of_file);
    std::fclose(wr);
    std::fclose(rd);
    ASSERT_EQ(umon_list().size(), 1u);
    EXPECT_EQ(umon_list()[0].remote_in, 31);
    EXPECT_EQ(umon_list()[0].remote_out, 42);
    EXPECT_EQ(slurp(f), l1 + l2);
    EXPECT_EQ(logged.size(), 1u); // the cut, and no malformed line
}

TEST(UsagePaths, DailyFileNameFollowsTheUtcDay)
{
    EXPECT_EQ(buildPath("20261207"), "/var/velkarn-server/stat_20261207.log");
    EXPECT_EQ(umon_daily_path(1796687999.9), "/var/velkarn-server/stat_20261207.log");
    EXPECT_EQ(umon_daily_path(1796688000.0), "/var/velkarn-server/stat_20261208.log");
    char day[VTIM_PRINT_SIZE];
    buildYmd(day, sizeof day);
    EXPECT_EQ(std::strlen(day), 8u);
}

} // namespace
