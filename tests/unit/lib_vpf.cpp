#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "vpf.h"
#include "test_util.h"

namespace
{

class vpf : public ::testing::Test
{
  protected:
    test_util::scratch_dir scratch;
    std::string dir;
    std::string path;

    void SetUp() override
    {
        ASSERT_TRUE(scratch.create("/tmp/vpf_test.XXXXXX"));
        dir = scratch.path();
        path = dir + "/d.pid";
    }
    void TearDown() override { ASSERT_TRUE(scratch.remove()); }

    static std::string slurp(const std::string &p)
    {
        FILE *fp = std::fopen(p.c_str(), "r");
        if (fp == nullptr)
            return "<missing>";
        std::string s;
        int c;
        while ((c = std::fgetc(fp)) != EOF)
            s += static_cast<char>(c);
        std::fclose(fp);
        return s;
    }
    static void spit(const std::string &p, const std::string &s)
    {
        FILE *fp = std::fopen(p.c_str(), "w");
        ASSERT_NE(fp, nullptr);
        std::fputs(s.c_str(), fp);
        std::fclose(fp);
    }
    static bool exists(const std::string &p)
    {
        struct stat sb;
        return stat(p.c_str(), &sb) == 0;
    }
    // Run fn in a child process (locks are per process); gives its exit code.
    template <class F> static int in_child(F fn)
    {
        pid_t pid = fork();
        if (pid == 0)
            _exit(fn());
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
    }
};

TEST_F(vpf, write_stores_bare_pid_with_mode_0644)
{
    mode_t old = umask(022);
    vpf_file *pfh = VPF_Open(path.c_str(), 0644, nullptr);
    umask(old);
    ASSERT_NE(pfh, nullptr);
    ASSERT_EQ(VPF_Write(pfh), 0);
    EXPECT_EQ(slurp(path), std::to_string(getpid()));
    struct stat sb;
    ASSERT_EQ(stat(path.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_mode & 07777, 0644u);
    // A second write rewrites, never appends.
    ASSERT_EQ(VPF_Write(pfh), 0);
    EXPECT_EQ(slurp(path), std::to_string(getpid()));
    ASSERT_EQ(VPF_Delete(pfh), 0);
    EXPECT_FALSE(exists(path));
}

TEST_F(vpf, second_process_is_refused_and_sees_the_holder)
{
    vpf_file *pfh = VPF_Open(path.c_str(), 0644, nullptr);
    ASSERT_NE(pfh, nullptr);
    ASSERT_EQ(VPF_Write(pfh), 0);
    const pid_t me = getpid();

    EXPECT_EQ(in_child([&] {
                  errno = 0;
                  if (VPF_Open(path.c_str(), 0644, nullptr) != nullptr)
                      return 1;
                  if (errno != EAGAIN)
                      return 2;
                  pid_t other = 0;
                  if (VPF_Open(path.c_str(), 0644, &other) != nullptr)
                      return 3;
                  if (errno != EEXIST)
                      return 4;
                  if (other != me)
                      return 5;
                  pid_t probed = 0;
                  if (VPF_Running(path.c_str(), &probed) != 1 || probed != me)
                      return 6;
                  // The refused attempts truncated nothing. (Read here: a
                  // close in the holder itself would drop its lock.)
                  return slurp(path) == std::to_string(me) ? 0 : 7;
              }),
              0);

    // Holder alive but its file unreadable as a pid: the read's error. (Written
    // through our descriptor: closing any other one would drop our lock.)
    ASSERT_EQ(pwrite(pfh->fd, "123\n", 4, 0), 4);
    EXPECT_EQ(in_child([&] {
                  pid_t other = 0;
                  if (VPF_Open(path.c_str(), 0644, &other) != nullptr)
                      return 1;
                  return errno == EINVAL ? 0 : 2;
              }),
              0);
    ASSERT_EQ(VPF_Delete(pfh), 0);
}

TEST_F(vpf, stale_file_of_a_dead_process_is_taken_over)
{
    pid_t child = fork();
    if (child == 0) {
        vpf_file *pfh = VPF_Open(path.c_str(), 0644, nullptr);
        _exit(pfh != nullptr && VPF_Write(pfh) == 0 ? 0 : 1);
    }
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(slurp(path), std::to_string(child));

    pid_t other = 0;
    vpf_file *pfh = VPF_Open(path.c_str(), 0644, &other);
    ASSERT_NE(pfh, nullptr) << strerror(errno);
    EXPECT_EQ(slurp(path), ""); // truncated once the lock was ours
    ASSERT_EQ(VPF_Write(pfh), 0);
    EXPECT_EQ(slurp(path), std::to_string(getpid()));
    ASSERT_EQ(VPF_Delete(pfh), 0);

    // A probe of a file nobody holds removes what it opened.
    spit(path, "4242");
    pid_t probed = 0;
    EXPECT_EQ(VPF_Running(path.c_str(), &probed), 0);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(VPF_Running((dir + "/none/x.pid").c_str(), &probed), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(vpf, read_pid_accepts_only_a_bare_number)
{
    struct rc {
        const char *content;
        int error;
        pid_t pid;
    };
    const rc cases[] = {
        {"123", 0, 123},
        {"123\n", EINVAL, 0},
        {"123 ", EINVAL, 0},
        {"", EINVAL, 0},
        {"abc", EINVAL, 0},
        {"12a", EINVAL, 0},
        {"-1", EINVAL, 0},
        {"0", EINVAL, 0},
        {"99999999999", EINVAL, 0},
        {"1234567890123456789", EINVAL, 0},
    };
    for (const auto &c : cases) {
        spit(path, c.content);
        pid_t pid = -7;
        EXPECT_EQ(vpf_read_pid(path.c_str(), &pid), c.error) << c.content;
        if (c.error == 0)
            EXPECT_EQ(pid, c.pid);
        else
            EXPECT_EQ(pid, -7) << c.content;
    }
    pid_t pid;
    EXPECT_EQ(vpf_read_pid((dir + "/missing").c_str(), &pid), ENOENT);
    EXPECT_EQ(vpf_read_pid(dir.c_str(), &pid), EISDIR);
}

// A FIFO in place of a pid file would hold a blocking reader (or a prober)
// until some writer came; it is refused at once, read or probed, and left.
TEST_F(vpf, a_fifo_in_place_of_a_pid_file_is_refused_without_waiting)
{
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    pid_t pid = -7;
    EXPECT_EQ(vpf_read_pid(path.c_str(), &pid), EINVAL);
    EXPECT_EQ(pid, -7);
    // With a reader on the FIFO, opening it for writing would succeed.
    int rd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    errno = 0;
    EXPECT_EQ(VPF_Running(path.c_str(), &pid), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vpf_open_locked(path.c_str(), O_RDONLY, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(VPF_Open(path.c_str(), 0644, &pid), nullptr);
    EXPECT_EQ(errno, EINVAL);
    close(rd);
    struct stat sb;
    ASSERT_EQ(lstat(path.c_str(), &sb), 0);
    EXPECT_TRUE(S_ISFIFO(sb.st_mode)); // not removed
    // A regular file opened for a blocking lock still blocks on the lock,
    // not in non-blocking mode.
    ASSERT_EQ(unlink(path.c_str()), 0);
    int fd = vpf_open_locked(path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    close(fd);
}

TEST_F(vpf, replaced_or_removed_file_is_left_alone)
{
    vpf_file *pfh = VPF_Open(path.c_str(), 0644, nullptr);
    ASSERT_NE(pfh, nullptr);
    std::string other = dir + "/other";
    spit(other, "someone else's");
    ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
    errno = 0;
    EXPECT_EQ(VPF_Write(pfh), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(VPF_Delete(pfh), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(slurp(path), "someone else's");

    ASSERT_EQ(unlink(path.c_str()), 0);
    EXPECT_EQ(VPF_Write(pfh), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_FALSE(exists(path));
    close(pfh->fd);
    free(pfh);

    EXPECT_EQ(vpf_check(nullptr), EINVAL);
    errno = 0;
    EXPECT_EQ(VPF_Delete(nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(vpf, probe_of_a_file_replaced_meanwhile_keeps_nothing_open)
{
    // Files keep being put in place while we probe; whatever a probe meets,
    // it must not keep a descriptor, and it must not fail.
    auto open_fds = [] {
        int n = 0;
        for (int fd = 0; fd < 4096; fd++)
            n += fcntl(fd, F_GETFD) != -1;
        return n;
    };
    const int before = open_fds();
    std::atomic<bool> stop{false};
    std::thread renamer([&] {
        const std::string tmp = dir + "/tmp";
        while (!stop) {
            int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0)
                close(fd);
            (void)rename(tmp.c_str(), path.c_str());
        }
    });
    int failed = 0;
    for (int i = 0; i < 3000; i++)
        failed += VPF_Running(path.c_str(), nullptr) != 0;
    stop = true;
    renamer.join();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(open_fds(), before);
}

TEST_F(vpf, relative_path_survives_a_change_of_directory)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    vpf_file *pfh = VPF_Open("rel.pid", 0644, nullptr);
    ASSERT_EQ(chdir("/"), 0); // as detaching does
    ASSERT_NE(pfh, nullptr);
    EXPECT_EQ(VPF_Write(pfh), 0);
    EXPECT_EQ(slurp(dir + "/rel.pid"), std::to_string(getpid()));
    EXPECT_EQ(VPF_Delete(pfh), 0);
    EXPECT_FALSE(exists(dir + "/rel.pid"));
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(vpf, failed_write_removes_the_file_but_keeps_the_handle)
{
    vpf_file *pfh = VPF_Open(path.c_str(), 0644, nullptr);
    ASSERT_NE(pfh, nullptr);
    // A descriptor that cannot be written: swap in a read-only one.
    int ro = open(path.c_str(), O_RDONLY);
    ASSERT_GE(ro, 0);
    ASSERT_EQ(dup2(ro, pfh->fd), pfh->fd);
    close(ro);
    errno = 0;
    EXPECT_EQ(VPF_Write(pfh), -1);
    EXPECT_NE(errno, 0);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(pfh->fd, -1);
    EXPECT_EQ(VPF_Delete(pfh), -1);
    EXPECT_EQ(errno, EINVAL);
    free(pfh);
}

TEST_F(vpf, overlong_path)
{
    std::string longp = dir + "/" + std::string(VPF_PATH_MAX + 1 - dir.size() - 1, 'p');
    ASSERT_EQ(longp.size(), VPF_PATH_MAX + 1);
    errno = 0;
    EXPECT_EQ(VPF_Open(longp.c_str(), 0644, nullptr), nullptr);
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(vpf, open_locked_truncates_only_under_the_lock)
{
    int fd = vpf_open_locked(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "999", 3), 3);
    EXPECT_EQ(in_child([&] {
                  int r = vpf_open_locked(path.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK, 0644);
                  if (r != -1)
                      return 1;
                  if (errno != EAGAIN)
                      return 2;
                  // A read lock conflicts with the write lock too.
                  r = vpf_open_locked(path.c_str(), O_RDONLY | O_NONBLOCK, 0644);
                  return r == -1 && errno == EAGAIN ? 0 : 3;
              }),
              0);
    EXPECT_EQ(slurp(path), "999");
    close(fd);
}

TEST_F(vpf, open_locked_follows_a_file_replaced_while_waiting)
{
    int fd = vpf_open_locked(path.c_str(), O_RDWR | O_CREAT | O_NONBLOCK, 0644);
    ASSERT_GE(fd, 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        ASSERT_EQ(write(ready[1], "r", 1), 1);
        // Blocks on the old file's lock, then must land on the new file.
        int cfd = vpf_open_locked(path.c_str(), O_RDWR | O_CREAT, 0644);
        if (cfd < 0)
            _exit(1);
        struct stat a, b;
        if (fstat(cfd, &a) != 0 || stat(path.c_str(), &b) != 0)
            _exit(2);
        _exit(a.st_ino == b.st_ino ? 0 : 3);
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    usleep(100000); // let the child reach its wait on the lock
    ASSERT_EQ(unlink(path.c_str()), 0);
    spit(path, "new");
    close(fd); // releases the old file's lock
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(vpf, lock_survives_a_detach)
{
    // Detaching forks and the parent exits; a probe in that moment must still
    // find the pid file held, or it would remove a running daemon's file.
    vpf_file *pfh = VPF_Open(path.c_str(), 0644, nullptr);
    ASSERT_NE(pfh, nullptr);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    if (child == 0) {
        close(go[1]);
        char b;
        (void)read(go[0], &b, 1); // the parent has let go of its descriptor
        if (VPF_Write(pfh) != 0)
            _exit(2);
        (void)read(go[0], &b, 1); // hold the lock until told
        _exit(0);
    }
    close(go[0]);
    // Drop our descriptor, as the exiting parent of a detach does.
    close(pfh->fd);
    free(pfh);
    pid_t probed = 0;
    EXPECT_EQ(VPF_Running(path.c_str(), &probed), 1); // held, pid not yet written
    ASSERT_EQ(write(go[1], "w", 1), 1);
    for (int i = 0; i < 200 && probed != child; i++) {
        usleep(10000);
        (void)VPF_Running(path.c_str(), &probed);
    }
    EXPECT_EQ(probed, child);
    close(go[1]);
    int status;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
