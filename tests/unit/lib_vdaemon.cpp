#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vdaemon.h"
#include "test_util.h"

namespace
{

// Run fn in a child with standard error captured; fn may exit or return.
template <class F> test_util::child_outcome run_child(F fn)
{
    return test_util::run_in_child(fn, 2);
}

constexpr vdaemon_option veld_options[] = {
    {"-c seconds", "Interval to cleanup the sessions"},
    {"-d", "debug"},
    {"-F", "Run in foreground"},
    {"-i seconds", "Interval to emit usages"},
    {"-l shl,free,fill", "Size of shared memory file"},
    {"-P file", "PID file"},
};

const char veld_usage[] = "usage: veld [options]\n"
                          "    -c seconds                   # Interval to cleanup the sessions\n"
                          "    -d                           # debug\n"
                          "    -F                           # Run in foreground\n"
                          "    -i seconds                   # Interval to emit usages\n"
                          "    -l shl,free,fill             # Size of shared memory file\n"
                          "    -P file                      # PID file\n";

TEST(vdaemon, usage_texts_and_exit_status)
{
    auto r = run_child([] {
        VDAEMON_Usage("veld", veld_options);
        return 0;
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, veld_usage);

    r = run_child([] {
        VDAEMON_TooMany("stray");
        VDAEMON_Usage("veld", veld_options);
        return 0;
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string("Too many arguments (stray...)\n") + veld_usage);

    r = run_child([] {
        VDAEMON_OnlyOneDF();
        VDAEMON_UsageLine("velechod", " [-d] [-F] [-P pid]\n");
        return 0;
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Only one of -d or -F can be specified\nvelechod [-d] [-F] [-P pid]\n");

    // An option longer than its column still gets its " # ".
    char *buf = nullptr;
    size_t len = 0;
    FILE *fp = open_memstream(&buf, &len);
    const vdaemon_option wide[] = {{"-x a-very-long-option-argument", "Wide"}};
    VDAEMON_PrintUsage(fp, "prog", wide);
    std::fclose(fp);
    EXPECT_EQ(std::string(buf, len), "usage: prog [options]\n"
                                     "    -x a-very-long-option-argument # Wide\n");
    free(buf);
}

TEST(vdaemon, shared_options_toggle_and_replace)
{
    vdaemon_opts o = VDAEMON_Opts("velcrond");
    EXPECT_EQ(o.pid_path, "/var/run/velcrond.pid");
    EXPECT_FALSE(o.foreground);
    EXPECT_FALSE(o.alt_endpoint);

    char a0[] = "velcrond", a1[] = "-F", a2[] = "-S", a3[] = "-F", a4[] = "-P", a5[] = "/x.pid",
         a6[] = "-S", a7[] = "-m", a8[] = "-F", a9[] = "stray";
    char *argv[] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, nullptr};
    int argc = 10;
    int others = 0;
    optind = 0; // full reset of getopt's state
    opterr = 0;
    int ch;
    while ((ch = getopt(argc, argv, "FmP:S")) != -1)
        if (!VDAEMON_StdOption(&o, ch, optarg))
            others++;
    EXPECT_TRUE(o.foreground);    // three toggles
    EXPECT_FALSE(o.alt_endpoint); // two toggles
    EXPECT_EQ(o.pid_path, "/x.pid");
    EXPECT_EQ(others, 1); // -m is the caller's
    EXPECT_EQ(optind, 9);

    o = VDAEMON_Opts("veld");
    EXPECT_TRUE(VDAEMON_StdOption(&o, 'F', nullptr));
    EXPECT_TRUE(VDAEMON_StdOption(&o, 'F', nullptr));
    EXPECT_FALSE(o.foreground); // -F twice: background
    EXPECT_FALSE(VDAEMON_StdOption(&o, '?', nullptr));
}

class vdaemon_pid : public ::testing::Test
{
  protected:
    test_util::scratch_dir scratch;
    std::string dir, path;
    void SetUp() override
    {
        ASSERT_TRUE(scratch.create("/tmp/vdaemon_test.XXXXXX"));
        dir = scratch.path();
        path = dir + "/p.pid";
    }
    void TearDown() override { ASSERT_TRUE(scratch.remove()); }

    // Start a detached daemon the way the programs do, check that it holds
    // its pid file with its own pid and the right working directory.
    void detach_and_check(bool keep_cwd, const std::string &want_cwd)
    {
        int hold[2];
        ASSERT_EQ(pipe(hold), 0);
        pid_t child = fork();
        if (child == 0) {
            close(hold[1]);
            if (chdir(dir.c_str()) != 0)
                _exit(3);
            vpf_file *pfh = VDAEMON_PidOpen(path.c_str());
            VDAEMON_Detach(keep_cwd);
            VDAEMON_PidWrite(pfh);
            char b;
            (void)read(hold[0], &b, 1); // live until the test lets go
            _exit(0);
        }
        close(hold[0]);
        int status;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0); // the detach's parent

        pid_t daemon_pid = 0;
        for (int i = 0; i < 300 && (daemon_pid <= 0 || daemon_pid == child); i++) {
            usleep(10000);
            (void)vpf_read_pid(path.c_str(), &daemon_pid);
        }
        ASSERT_GT(daemon_pid, 0);
        EXPECT_NE(daemon_pid, child);
        pid_t probed = 0;
        EXPECT_EQ(VPF_Running(path.c_str(), &probed), 1);
        EXPECT_EQ(probed, daemon_pid);
        char cwd[PATH_MAX] = {};
        std::string link = "/proc/" + std::to_string(daemon_pid) + "/cwd";
        ASSERT_GT(readlink(link.c_str(), cwd, sizeof cwd - 1), 0);
        EXPECT_EQ(std::string(cwd), want_cwd);
        EXPECT_EQ(getsid(daemon_pid), daemon_pid); // a session of its own

        close(hold[1]);
        int r = 1;
        for (int i = 0; i < 300 && (r = VPF_Running(path.c_str(), nullptr)) == 1; i++)
            usleep(10000);
        EXPECT_EQ(r, 0);
    }
};

TEST_F(vdaemon_pid, second_instance_stops_with_status_1)
{
    vpf_file *pfh = VDAEMON_PidOpen(path.c_str());
    ASSERT_NE(pfh, nullptr);
    auto r = run_child([&] {
        VDAEMON_PidOpen(path.c_str());
        return 0;
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, path + ": Resource temporarily unavailable\n");
    EXPECT_EQ(VPF_Delete(pfh), 0);

    r = run_child([&] {
        VDAEMON_PidOpen((dir + "/no/such/dir.pid").c_str());
        return 0;
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, dir + "/no/such/dir.pid: No such file or directory\n");
}

TEST_F(vdaemon_pid, failed_pid_write_is_a_note_and_start_up_goes_on)
{
    auto r = run_child([&] {
        vpf_file *pfh = VDAEMON_PidOpen(path.c_str());
        unlink(path.c_str()); // removed behind our back
        if (VDAEMON_PidWrite(pfh) != -1)
            return 2;
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "NOTE: Could not write PID file\n");

    r = run_child([&] {
        vpf_file *pfh = VDAEMON_Start(path.c_str(), true);
        pid_t pid = 0;
        if (vpf_read_pid(path.c_str(), &pid) != 0 || pid != getpid())
            return 2;
        return VPF_Delete(pfh) == 0 ? 0 : 3;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
}

TEST_F(vdaemon_pid, detached_daemon_holds_its_pid_file)
{
    detach_and_check(false, "/");
}

TEST_F(vdaemon_pid, detached_daemon_may_keep_its_directory)
{
    char real[PATH_MAX];
    ASSERT_NE(realpath(dir.c_str(), real), nullptr);
    detach_and_check(true, real);
}

} // namespace
