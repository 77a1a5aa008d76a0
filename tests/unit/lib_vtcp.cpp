#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "vtcp.h"

namespace
{

TEST(VtcpCheck, ToleratesOnlyAVanishedPeer)
{
    EXPECT_TRUE(VTCP_Check(0));
    errno = ECONNRESET;
    EXPECT_TRUE(VTCP_Check(-1));
    errno = ENOTCONN;
    EXPECT_TRUE(VTCP_Check(-1));
    errno = EBADF;
    EXPECT_FALSE(VTCP_Check(-1));
    errno = EINVAL;
    EXPECT_FALSE(VTCP_Check(-1));
}

TEST(VtcpOptions, ModesAndOptionsReachTheSocket)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);

    EXPECT_EQ(VTCP_nonblocking(fd), 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(VTCP_blocking(fd), 0);
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);

    int v = 0;
    socklen_t l = sizeof v;
    EXPECT_EQ(VTCP_nodelay(fd), 0);
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &v, &l), 0);
    EXPECT_EQ(v, 1);

    VTCP_setTimeout(fd);
    struct timeval tv = {};
    l = sizeof tv;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &l), 0);
    EXPECT_EQ(tv.tv_sec, 30);
    EXPECT_EQ(tv.tv_usec, 0);
    l = sizeof tv;
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &l), 0);
    EXPECT_EQ(tv.tv_sec, 30);
    close(fd);
}

TEST(VtcpOptionsDeathTest, TimeoutOnANonSocketAborts)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_DEATH(VTCP_setTimeout(fds[0]), "ret == 0");
    close(fds[0]);
    close(fds[1]);
}

} // namespace
