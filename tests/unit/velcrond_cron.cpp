// The cron monitor's reports driven through the wheel's clock seam: their
// cadence, the two-capture rule of the machine report and the core scan.
// The process report runs against real processes in the system tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "callout.h"
#include "test_util.h"
#include "velcrond_cron.h"
#include "vlog.h"

namespace
{

long fake_ticks;
long fake_clock()
{
    return fake_ticks;
}

struct timespec fake_now;
void fake_realtime(struct timespec *ts)
{
    *ts = fake_now;
}

struct sent {
    long tick;
    std::string path, body;
};
std::vector<sent> sends;
int fake_send(const char *path, const char *body, ssize_t len)
{
    sends.push_back({fake_ticks, path, std::string(body, (size_t)len)});
    return 0;
}

std::deque<smon_sample> samples; // what the next captures give
int captures;
void fake_capture(smon_sample *s)
{
    captures++;
    *s = samples.empty() ? smon_sample{} : samples.front();
    if (!samples.empty())
        samples.pop_front();
}

class cron : public ::testing::Test
{
  protected:
    test_util::scratch_dir dir;
    std::string d1, d2;

    void SetUp() override
    {
        fake_ticks = 100000;
        fake_now = {1800000000, 500000000};
        sends.clear();
        samples.clear();
        captures = 0;
        test_util::logged.clear();
        VLOG_SetSink(test_util::capture);
        cot_set_clock(fake_clock);
        ASSERT_TRUE(dir.create("/tmp/velcrond-cron-XXXXXX"));
        d1 = dir.path() + "/a/";
        d2 = dir.path() + "/b/";
        mkdir(d1.c_str(), 0755);
        mkdir(d2.c_str(), 0755);
        cron_set_sender(fake_send);
        cron_set_capture(fake_capture);
        cron_set_realtime(fake_realtime);
        cron_set_coredirs({d1, dir.path() + "/missing/", d2});
    }
    void TearDown() override
    {
        cron_fini();
        cot_set_clock(nullptr);
        VLOG_SetSink(nullptr);
        dir.remove();
    }
    // The daemon's loop: wake every 5 s until tick `until`.
    void run_until(long until)
    {
        while (fake_ticks + 500 <= until) {
            fake_ticks += 500;
            cron_tick();
        }
    }
    std::vector<sent> of(const char *path) const
    {
        std::vector<sent> out;
        std::copy_if(sends.begin(), sends.end(), std::back_inserter(out),
                     [&](const sent &s) { return s.path == path; });
        return out;
    }
    // A file modified at sec.nsec.
    static void touch(const std::string &path, time_t sec, long nsec)
    {
        test_util::put(path, "core");
        struct timespec ts[2] = {{sec, nsec}, {sec, nsec}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0) << path;
    }
};

TEST_F(cron, cadence_and_the_two_capture_rule)
{
    smon_sample a{};
    a.v[SMON_UPTIME] = 1000;
    a.v[SMON_ETH0] = 5000;
    smon_set_pair(&a, SMON_PROCS, 2, 1);
    smon_sample b = a;
    b.v[SMON_UPTIME] = 1300;
    b.v[SMON_ETH0] += 4096;
    samples = {a, a, b};

    cron_init(cron_opts{});
    const long start = fake_ticks;
    fake_ticks = start + 499;
    cron_tick();
    EXPECT_TRUE(sends.empty());
    EXPECT_EQ(captures, 0);
    fake_ticks = start + 500;
    cron_tick();
    // nothing new in the core folders; the first capture is only stored
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].path, PMON_REPORT_PATH);
    EXPECT_EQ(captures, 1);

    // Each report is due 300 s after the wake-up that ran it.
    run_until(start + 500 + 30000 * 2 - 1);
    EXPECT_EQ(sends.size(), 3u);
    run_until(start + 500 + 30000 * 2);
    auto pm = of(PMON_REPORT_PATH), sm = of(SMON_REPORT_PATH);
    ASSERT_EQ(pm.size(), 3u);
    ASSERT_EQ(sm.size(), 2u);
    for (int i = 0; i < 2; i++) {
        EXPECT_EQ(pm[i + 1].tick, start + 500 + 30000 * (i + 1));
        EXPECT_EQ(sm[i].tick, start + 500 + 30000 * (i + 1));
    }
    EXPECT_TRUE(of(CMON_REPORT_PATH).empty());
    // identical captures: every share and counter 0; then against the second
    const std::string zeros = "cpu_puse=0&cpu_psys=0&cpu_pidl=0&cpu_piow=0&cpu_pstl=0&running=2&"
                              "blocked=1&eth0_rx_bytes=";
    EXPECT_EQ(sm[0].body.substr(0, 12 + zeros.size()), "uptime=1000&" + zeros);
    EXPECT_EQ(sm[0].body.find_first_of("123456789", 12 + zeros.size()), std::string::npos);
    EXPECT_EQ(sm[1].body.substr(0, 12 + zeros.size() + 5), "uptime=1300&" + zeros + "4096&");

    // A long stall (a slow master) does not make any report run twice.
    fake_ticks += 45000;
    cron_tick();
    EXPECT_EQ(of(PMON_REPORT_PATH).size(), 4u);
    EXPECT_EQ(captures, 4);
}

TEST_F(cron, core_files_are_reported_once)
{
    cron_opts o;
    o.pmon = o.smon = false;
    cron_init(o); // the last scan is fake_now
    const time_t t0 = fake_now.tv_sec;
    for (const char *n : {"core.1234", "core.", "core", "core.12a", "core.1.gz", "xcore.1"})
        touch(d1 + n, t0 + 1, 0);
    mkdir((d1 + "core.5").c_str(), 0755);
    touch(d1 + "new", t0 + 1, 0); // links are followed: to a new file reported, to an old not
    touch(d1 + "old", t0 - 100, 0);
    ASSERT_EQ(symlink((d1 + "new").c_str(), (d1 + "core.6").c_str()), 0);
    ASSERT_EQ(symlink((d1 + "old").c_str(), (d1 + "core.13").c_str()), 0);
    ASSERT_EQ(symlink((d1 + "nothing").c_str(), (d1 + "core.7").c_str()), 0);
    touch(d1 + "core.8", t0, 0);         // in the second of the last scan: new
    touch(d1 + "core.9", t0, 500000000); // exactly at it: new
    touch(d1 + "core.15", t0 - 1, 999999999); // the second before: old
    touch(d2 + "core.10", t0 + 2, 0);
    touch(d2 + "core.11", t0 + 5, 500000000);  // at this scan's start: left for the next
    touch(dir.path() + "/core.12", t0 + 1, 0); // not in a core folder

    fake_now.tv_sec = t0 + 5;
    const long start = fake_ticks;
    run_until(start + 500);
    ASSERT_EQ(sends.size(), 1u);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    const std::string prefix = std::string("mode=update&hostname=") + host + "&list=";
    ASSERT_EQ(sends[0].body.substr(0, prefix.size()), prefix);
    std::string list = sends[0].body.substr(prefix.size());
    std::vector<std::string> got;
    for (size_t p = 0, q; (q = list.find(',', p)) != std::string::npos; p = q + 1)
        got.push_back(list.substr(p, q - p));
    EXPECT_EQ(list.back(), ',') << "each path ends with a comma, and no \"&\" follows";
    ASSERT_EQ(got.size(), 6u) << list;
    EXPECT_EQ(got.back(), d2 + "core.10") << "folders in order";
    got.pop_back();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::string>{d1 + "core.", d1 + "core.1234", d1 + "core.6",
                                             d1 + "core.8", d1 + "core.9"}));
    EXPECT_TRUE(test_util::has_line(LOG_WARNING, "stat(2) for " + d1 +
                                                     "core.7 failed: 2 No such file or directory"));

    // Written in the rest of the second after that scan began, on a file
    // system that keeps whole seconds: stamped before the scan's start.
    touch(d2 + "core.14", t0 + 5, 0);
    fake_now.tv_sec = t0 + 400;
    run_until(start + 30500);
    ASSERT_EQ(sends.size(), 2u);
    std::string second = sends[1].body.substr(prefix.size());
    EXPECT_TRUE(second == d2 + "core.11," + d2 + "core.14," ||
                second == d2 + "core.14," + d2 + "core.11,")
        << second;
    run_until(start + 60500);
    EXPECT_EQ(sends.size(), 2u) << "nothing new, no report";
}

} // namespace
