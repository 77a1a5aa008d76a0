// The supervisor's service table: what a reread does to queued, running and
// dropped services, and the pause after a failed fork (with the fork and the
// clock replaced).
#include "velwatchdog_svc.h"
#include "test_util.h"
#include "vlog.h"
#include "vtim.h"

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <iterator>
#include <sys/stat.h>
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

// A reread that cannot be used changes nothing: the services, their
// programs and their queued starts stay as they are.
TEST_F(WatSvc, RereadOfABadFileKeepsTheRunningConfiguration)
{
    test_util::put(conf, "a /bin/a x\nb /bin/b\n");
    WAT_readconf();
    wat.started = true;
    wat_service *a = WAT_Find("a"), *b = WAT_Find("b");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);

    struct {
        const char *what;
        std::string text; // "/": a directory in the file's place
        std::string line;
    } cases[] = {
        {"a name without a program", "a /bin/a2\n\n# c\nlonely\n",
         "[ERROR] " + conf +
             " line 4: syntax error, a service name without a program; the "
             "running configuration stays in force"},
        {"a directory", "/",
         "[ERROR] " + conf + ": not a regular file; the running configuration stays in force"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        test_util::logged.clear();
        std::filesystem::remove_all(conf);
        if (c.text == "/")
            ASSERT_EQ(mkdir(conf.c_str(), 0755), 0);
        else
            test_util::put(conf, c.text);
        WAT_readconf();
        EXPECT_TRUE(test_util::has_line(LOG_ERR, c.line));
        EXPECT_EQ(WAT_Find("a"), a);
        EXPECT_EQ(WAT_Find("b"), b);
        EXPECT_EQ(a->program, "/bin/a");
        EXPECT_EQ(queued(a), 1);
        EXPECT_EQ(queued(b), 1);
    }
    std::filesystem::remove_all(conf);
}

// The ordered stop against real children: veld, then velumond, then the
// rest; a child that ignores SIGTERM is killed after its bound; nothing is
// started again meanwhile.
TEST_F(WatSvc, StopEndsVeldThenVelumondThenTheRestAndKillsWhatIgnoresIt)
{
    WAT_SetClock(nullptr);
    const std::string d = dir.path();
    for (const char *prog : {"veld", "velumond", "velcrond"})
        ASSERT_EQ(symlink("/bin/sh", (d + "/" + prog).c_str()), 0);
    // Each child notes when it is ready and when SIGTERM reaches it; the
    // third ignores SIGTERM.
    auto svc = [&](const char *name, const char *prog, const std::string &on_term) {
        return std::string(name) + " " + d + "/" + prog + " " + prog + " -c '" + on_term +
               " echo >" + d + "/" + name + ".ready; while :; do sleep 0.02; done'\n";
    };
    test_util::put(
        conf, svc("crond", "velcrond", "trap \"\" TERM;") +
                  svc("umon", "velumond", "trap \"echo umon >>" + d + "/order; exit 0\" TERM;") +
                  svc("veld", "veld", "trap \"echo veld >>" + d + "/order; exit 0\" TERM;"));
    WAT_readconf();
    WAT_Step(); // starts all three
    for (const char *name : {"veld", "umon", "crond"}) {
        wat_service *sp = WAT_Find(name);
        ASSERT_NE(sp, nullptr);
        ASSERT_GT(sp->pid, 0);
        for (int i = 0; i < 500 && access((d + "/" + name + ".ready").c_str(), F_OK) != 0; i++)
            usleep(10000);
    }
    pid_t crond = WAT_Find("crond")->pid;
    const wat_stop_step steps[] = {{"veld", 5.0}, {"velumond", 5.0}, {nullptr, 0.3}};
    double t0 = VTIM_mono();
    WAT_Stop(SIGTERM, steps, std::size(steps));
    double took = VTIM_mono() - t0;
    EXPECT_LT(took, 4.0);
    EXPECT_EQ(test_util::slurp(d + "/order"), "veld\numon\n");
    for (const char *name : {"veld", "umon", "crond"}) {
        EXPECT_EQ(WAT_Find(name)->pid, -1) << name;
        EXPECT_EQ(queued(WAT_Find(name)), 0) << name; // none queued again
    }
    EXPECT_TRUE(test_util::has_line(LOG_WARNING, "[WARN] crond[" + std::to_string(crond) +
                                                     "] did not end within 0 s of SIGTERM; "
                                                     "killing it"));
    EXPECT_TRUE(test_util::has_line(LOG_INFO, "[INFO] crond[" + std::to_string(crond) +
                                                  "]: exited, signal 9"));
    EXPECT_TRUE(test_util::has_line(LOG_INFO, "[INFO] Every service is stopped; exiting"));
}

} // namespace
