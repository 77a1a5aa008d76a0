// The supervisor's service table: what a reread does to queued, running and
// dropped services, and the pause after a failed fork (with the fork and the
// clock replaced).
#include "velwatchdog_svc.h"
#include "test_util.h"
#include "vlog.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{
double fake_now = 1000.0;
double fake_clock()
{
    return fake_now;
}
pid_t failing_fork()
{
    errno = EAGAIN;
    return -1;
}

int queued(const wat_service *sp)
{
    int n = -1;
    EXPECT_EQ(ioctl(sp->fds[0], FIONREAD, &n), 0);
    return n;
}

class WatSvc : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.create("/tmp/watsvc.XXXXXX"));
        conf = dir.path() + "/velwatchdog.conf";
        WAT_Init(false, conf.c_str());
        test_util::logged.clear();
        VLOG_SetSink(test_util::capture);
        WAT_SetClock(fake_clock);
    }
    void TearDown() override
    {
        WAT_Reset();
        WAT_SetClock(nullptr);
        WAT_SetFork(nullptr);
        VLOG_SetSink(nullptr);
        dir.remove();
    }
    test_util::scratch_dir dir;
    std::string conf;
};

// Running services and dropped ones are seen end to end; what only shows
// here is a service whose start is still queued when the file changes.
TEST_F(WatSvc, RereadKeepsAQueuedStartAndAnUnreadableFileChangesNothing)
{
    test_util::put(conf, "a /bin/a x\n");
    WAT_readconf();
    wat_service *a = WAT_Find("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(queued(a), 1);

    test_util::put(conf, "a /bin/a2 y z\n");
    WAT_readconf();
    EXPECT_EQ(WAT_Find("a"), a);
    EXPECT_EQ(a->program, "/bin/a2");
    EXPECT_EQ(a->args, (std::vector<std::string>{"y", "z"}));
    // still queued, once, and watched: it starts with the new command line
    EXPECT_TRUE(WAT_Watched(a));
    EXPECT_EQ(queued(a), 1);

    ASSERT_EQ(unlink(conf.c_str()), 0);
    WAT_readconf();
    EXPECT_EQ(WAT_Find("a"), a);
    EXPECT_TRUE(test_util::has_line(LOG_ERR, "[ERROR] " + conf + ": No such file or directory"));
}

TEST_F(WatSvc, FailedForkIsRetriedAfterAPause)
{
    WAT_SetFork(failing_fork);
    test_util::put(conf, "a /bin/a\n");
    WAT_readconf();
    wat_service *a = WAT_Find("a");
    WAT_Step();
    EXPECT_TRUE(test_util::has_line(LOG_ERR, "[ERROR] fork: Resource temporarily unavailable"));
    EXPECT_EQ(a->pid, -1);
    EXPECT_EQ(queued(a), 0);
    EXPECT_DOUBLE_EQ(a->hold_until, fake_now + WAT_PACE);
    fake_now += WAT_PACE;
    WAT_Step(); // the pause is over: queued again
    EXPECT_EQ(queued(a), 1);
    EXPECT_EQ(a->hold_until, 0);
    WAT_Step();
    EXPECT_EQ(test_util::logged.size(), 2u);
}

} // namespace
