#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "test_util.h"
#include "vellmond_queue.h"
#include "vellmond_wat.h"
#include "vlog.h"
#include "vsb.h"

using namespace test_util;

namespace
{

// The reporter stand-in: how often it was asked, the lines it took, and its
// answer.
int posts;
size_t lines_taken;
int post_result = 0;

int fake_report()
{
    posts++;
    if (post_result == 0)
        lines_taken += RQ_len();
    return post_result;
}

std::vector<std::string> queued()
{
    std::vector<std::string> v;
    for (size_t i = 0; i < RQ_len(); i++)
        v.push_back(RQ_at(i));
    return v;
}

class Wat : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        RQ_clear();
        (void)RQ_takeDropped();
        RQ_setReporter(fake_report);
        posts = 0;
        lines_taken = 0;
        post_result = 0;
        logged.clear();
        VLOG_SetSink(capture);
    }
    void TearDown() override
    {
        WAT_reset();
        RQ_clear();
        RQ_setReporter(nullptr);
        VLOG_SetSink(nullptr);
    }
};

// The end-to-end tests send the common lines; these are the edges.
TEST_F(Wat, FiltersAndTrimming)
{
    struct {
        wat_filter_f filter;
        std::string line;
        bool queued;
        std::string msg;
    } cases[] = {
        {WAT_errorFilter, "[CRIT] a\r\n", true, "[CRIT] a"},
        {WAT_errorFilter, "p [FATAL] \t \n", true, "p [FATAL]"},
        {WAT_errorFilter, "  lead [ERROR]", true, "  lead [ERROR]"},
        {WAT_errorFilter, "[ERROR without its bracket] [WARN] [error]\n", false, ""},
        {WAT_allFilter, std::string("a\0b [ERROR]\n", 12), true, "ab [ERROR]"},
        {WAT_errorFilter, std::string("\0\0[ERROR] after NULs\n", 21), true, "[ERROR] after NULs"},
        {WAT_allFilter, std::string("x \0\n", 4), true, "x"},
    };
    for (const auto &c : cases) {
        RQ_clear();
        wat_watch *wl = WAT_detached(c.filter);
        WAT_parseLine(wl, c.line);
        WAT_free(wl);
        if (c.queued)
            EXPECT_EQ(queued(), std::vector<std::string>{c.msg}) << c.line;
        else
            EXPECT_TRUE(RQ_empty()) << c.line;
    }
}

TEST_F(Wat, LinesCutAnywhereAreWhole)
{
    const std::string text = "one\n[ERROR] two\r\n\nthree [CRIT] long line\nunfinished";
    for (size_t cut = 0; cut <= text.size(); cut++) {
        RQ_clear();
        wat_watch *wl = WAT_detached(WAT_allFilter);
        WAT_feed(wl, text.data(), cut);
        WAT_feed(wl, text.data() + cut, text.size() - cut);
        EXPECT_EQ(queued(),
                  (std::vector<std::string>{"one", "[ERROR] two", "", "three [CRIT] long line"}))
            << cut;
        EXPECT_EQ(wl->pending, "unfinished");
        WAT_flush(wl);
        EXPECT_EQ(RQ_at(RQ_len() - 1), "unfinished");
        EXPECT_TRUE(wl->pending.empty());
        WAT_free(wl);
    }
}

TEST_F(Wat, OverlongLineIsCut)
{
    wat_watch *wl = WAT_detached(WAT_allFilter);
    wl->line_max = 4;
    for (char c : std::string("abcd\nabcdefghij\n"))
        WAT_feed(wl, &c, 1);
    EXPECT_EQ(queued(), (std::vector<std::string>{"abcd", "abcd", "efgh", "ij"}));
    WAT_free(wl);
}

// The line bound shows in BurstLargerThanTheQueue.
TEST_F(Wat, ByteBoundDropsOldestAndSaysSoOncePerRound)
{
    std::string big(RQ_MAX_BYTES / 3, 'x');
    RQ_push("small");
    for (int i = 0; i < 3; i++)
        RQ_push(big);
    EXPECT_EQ(RQ_len(), 2u);
    EXPECT_LE(RQ_bytes(), RQ_MAX_BYTES);
    post_result = -1;
    EXPECT_EQ(RQ_send(), -1);
    EXPECT_EQ(RQ_send(), -1); // nothing dropped since: no second line
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].second, "[WARN] Report queue full: dropped the 2 oldest lines.");

    // A line bigger than the whole bound still goes out on its own.
    RQ_push(std::string(RQ_MAX_BYTES + 1, 'y'));
    EXPECT_EQ(RQ_len(), 1u);
    EXPECT_EQ(RQ_bytes(), RQ_MAX_BYTES + 1 + RQ_FIELD_OVERHEAD);
    post_result = 0;
    EXPECT_EQ(RQ_send(), 0);
    EXPECT_TRUE(RQ_empty());
}

TEST_F(Wat, BodyKeepsOrderAndText)
{
    for (const char *l : {"a [ERROR] x&y=z", "", "b"})
        RQ_push(l);
    struct vsb *s = VSB_new(nullptr, nullptr, 0, 1);
    RQ_fillBody(s, nullptr);
    ASSERT_EQ(VSB_finish(s), 0);
    EXPECT_STREQ(VSB_data(s), "result[]=a [ERROR] x&y=z&result[]=&result[]=b&");
    EXPECT_EQ(RQ_bytes(), (size_t)VSB_len(s));
    VSB_delete(s);
}

// Real files followed through a real inotify instance; the lines read stay
// queued (the reporter stand-in refuses them).
class WatFiles : public Wat
{
  protected:
    void SetUp() override
    {
        Wat::SetUp();
        post_result = -1;
        ASSERT_TRUE(dir.create("/tmp/vellmond-wat.XXXXXX"));
        fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        Wat::TearDown();
        close(fd);
        dir.remove();
    }
    std::string at(const char *name) { return dir.path() + "/" + name; }
    // Whatever inotify has to say, handled as the main loop does.
    void events()
    {
        char buf[8192];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            WAT_dispatch(buf, (size_t)n);
    }
    scratch_dir dir;
    int fd = -1;
};

TEST_F(WatFiles, TruncatedFilesAndFifos)
{
    // A file cut short in place is read again from its start.
    std::string log = at("dmesg");
    put(log, "a long line that was there before start-up\n");
    (void)WAT_add(fd, log.c_str(), WAT_allFilter);
    ASSERT_EQ(truncate(log.c_str(), 0), 0);
    put(log, "new\n");
    events();
    EXPECT_TRUE(has_line(LOG_INFO, "[INFO] " + log + " is truncated."));
    EXPECT_EQ(queued(), std::vector<std::string>{"new"});

    // A FIFO is not opened (that would hang); the file that takes its place
    // later is new, and read from its start.
    RQ_clear();
    std::string fifo = at("messages");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    wat_watch *wl = WAT_add(fd, fifo.c_str(), WAT_errorFilter);
    EXPECT_EQ(wl->fp, nullptr);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] fopen(3) for " + fifo + " failed."));
    ASSERT_EQ(unlink(fifo.c_str()), 0);
    put(fifo, "[ERROR] x\n");
    WAT_timeout();
    EXPECT_EQ(queued(), std::vector<std::string>{"[ERROR] x"});
    EXPECT_EQ(posts, 2); // one refused post per read
}

// A rotated file's last lines are posted even when the file now at its path
// cannot be opened, instead of waiting for some other file to have a line.
TEST_F(WatFiles, RotatedLinesArePostedWhenTheNewFileCannotBeOpened)
{
    std::string log = at("syslog");
    put(log, "");
    (void)WAT_add(fd, log.c_str(), WAT_errorFilter);
    std::ofstream(log, std::ios::app) << "[ERROR] last words\n[INFO] not these\n[CRIT] and";
    ASSERT_EQ(rename(log.c_str(), at("syslog.1").c_str()), 0);
    ASSERT_EQ(mkfifo(log.c_str(), 0600), 0); // nothing a monitor may open
    post_result = 0;
    WAT_timeout();
    EXPECT_EQ(posts, 1);
    EXPECT_EQ(lines_taken, 2u);
    EXPECT_TRUE(RQ_empty());
    EXPECT_TRUE(has_line(LOG_INFO, "[INFO] " + log + " is changed."));
    // Nothing new: no post.
    WAT_timeout();
    events();
    EXPECT_EQ(posts, 1);
}

TEST_F(WatFiles, BurstLargerThanTheQueue)
{
    std::string log = at("dmesg");
    put(log, "");
    wat_watch *wl = WAT_add(fd, log.c_str(), WAT_allFilter);
    std::string burst;
    for (int i = 0; i < 25000; i++)
        burst += "line " + std::to_string(i) + "\n";
    put(log, burst);

    // A master that takes it gets all of it, in parts.
    post_result = 0;
    WAT_read(wl);
    EXPECT_EQ(posts, 3);
    EXPECT_EQ(lines_taken, 25000u);
    EXPECT_TRUE(RQ_empty());

    // One that does not is tried once; the newest lines wait, the rest go.
    post_result = -1;
    posts = 0;
    std::ofstream(log, std::ios::app) << burst;
    WAT_read(wl);
    EXPECT_EQ(posts, 1);
    EXPECT_EQ(RQ_len(), RQ_MAX_LINES);
    EXPECT_EQ(RQ_at(0), "line 15000");
    post_result = 0;
    WAT_read(wl);
    EXPECT_TRUE(has_line(LOG_WARNING, "[WARN] Report queue full: dropped the 15000 oldest lines."));
    EXPECT_EQ(lines_taken, 25000u + RQ_MAX_LINES);
}

} // namespace
