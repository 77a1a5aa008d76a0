#include "vtcp.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "vas.h"

bool VTCP_Check(int r)
{
    if (r == 0)
        return true;
    // The peer may close between accept and our option calls; that is its
    // business, not a fault of ours.
    return errno == ECONNRESET || errno == ENOTCONN;
}

int VTCP_blocking(int fd)
{
    int i = 0;
    return ioctl(fd, FIONBIO, &i);
}

int VTCP_nonblocking(int fd)
{
    int i = 1;
    return ioctl(fd, FIONBIO, &i);
}

int VTCP_nodelay(int fd)
{
    int i = 1;
    return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &i, sizeof i);
}

void VTCP_setTimeout(int fd)
{
    struct timeval tv = {VTCP_TIMEOUT_SEC, 0};
    int ret;

    ret = setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    VAS_ASSERT_TEXT(ret == 0, "ret == 0");
    ret = setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    VAS_ASSERT_TEXT(ret == 0, "ret == 0");
}
