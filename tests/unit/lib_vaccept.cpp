#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "vaccept.h"
#include "vlog.h"

namespace
{

std::vector<std::pair<int, std::string>> lines;
double now = 50;

void capture(int priority, const char *line)
{
    lines.emplace_back(priority, line);
}
double fake_clock()
{
    return now;
}

// A loopback listener with one connection waiting in its backlog.
struct pending {
    int lfd = -1, cfd = -1;
    bool open()
    {
        lfd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sin;
        if (lfd < 0 || bind(lfd, reinterpret_cast<sockaddr *>(&sin), len) != 0 ||
            listen(lfd, 8) != 0 || getsockname(lfd, reinterpret_cast<sockaddr *>(&sin), &len) != 0)
            return false;
        cfd = socket(AF_INET, SOCK_STREAM, 0);
        return cfd >= 0 && connect(cfd, reinterpret_cast<sockaddr *>(&sin), len) == 0;
    }
    ~pending()
    {
        if (cfd >= 0)
            close(cfd);
        if (lfd >= 0)
            close(lfd);
    }
};

TEST(vaccept, a_shortage_rests_the_listener_and_is_logged_once)
{
    pending p;
    ASSERT_TRUE(p.open());
    lines.clear();
    VLOG_SetSink(capture);
    vaccept acc{"TCP"};
    acc.clock = fake_clock;

    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit low = old;
    int lowest = dup(0); // the descriptor accept would get
    close(lowest);
    low.rlim_cur = static_cast<rlim_t>(lowest); // none left for accept
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    int fds[3];
    for (int &fd : fds)
        fd = VACCEPT_Accept(&acc, p.lfd, nullptr, nullptr, SOCK_CLOEXEC);
    int err = errno;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    for (int fd : fds)
        EXPECT_EQ(fd, -1);
    EXPECT_EQ(err, EMFILE);
    EXPECT_DOUBLE_EQ(VACCEPT_Wait(&acc), VACCEPT_PAUSE);
    now += 0.25;
    EXPECT_DOUBLE_EQ(VACCEPT_Wait(&acc), VACCEPT_PAUSE - 0.25);
    now += 1;
    EXPECT_EQ(VACCEPT_Wait(&acc), 0);

    int fd = VACCEPT_Accept(&acc, p.lfd, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_GE(fd, 0);
    close(fd);
    VLOG_SetSink(nullptr);
    const std::vector<std::pair<int, std::string>> want = {
        {LOG_WARNING, "[WARN] accept(2) error: 24 Too many open files; new TCP connections wait "
                      "until descriptors are free"},
        {LOG_INFO, "[INFO] TCP connections are accepted again (3 accept(2) calls failed)"},
    };
    EXPECT_EQ(lines, want);
}

TEST(vaccept, other_errors_are_left_to_the_caller)
{
    lines.clear();
    VLOG_SetSink(capture);
    vaccept acc{"TCP"};
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(VACCEPT_Accept(&acc, fd, nullptr, nullptr, 0), -1); // not listening
    EXPECT_EQ(errno, EINVAL);
    close(fd);
    VLOG_SetSink(nullptr);
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(VACCEPT_Wait(&acc), 0);
}

} // namespace
