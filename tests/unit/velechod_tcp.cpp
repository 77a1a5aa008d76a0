// The echo service's TCP state machine in its event loop, where a read or a
// write would block: readiness that comes to nothing, a client that does not
// read. (Echo, close and idle time-out are covered end to end.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "callout.h"
#include "velechod_tcp.h"

namespace
{

long fake_ticks;
long ticks_fn()
{
    return fake_ticks;
}

// Everything a client end has received until the server closed.
std::string drain(int fd)
{
    std::string out;
    char buf[4096];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 2000) <= 0)
            return out + "<no close>";
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, n);
    }
}

bool readable(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

class echo_tcp_sm : public ::testing::Test
{
  protected:
    int client = -1;
    tcp_conn *server = nullptr;

    void SetUp() override
    {
        fake_ticks = 5000;
        cot_set_clock(ticks_fn);
        tcp_init();
    }
    void TearDown() override
    {
        if (client >= 0)
            close(client);
        close(echo_tcp.efd);
        cot_wheel_fini(&echo_tcp.wheel);
        cot_set_clock(nullptr);
    }

    // A connection as tcp_accept leaves it, over a socket pair.
    void connect_pair()
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        client = sv[0];
        tcp_nonblocking(sv[1]);
        server = tcp_new(sv[1]);
    }
};

TEST_F(echo_tcp_sm, readiness_that_comes_to_nothing_waits_for_the_next)
{
    connect_pair();
    tcp_sm(server); // as if reported readable, with nothing there
    EXPECT_FALSE(readable(client)) << "closed on EAGAIN";
    ASSERT_EQ(write(client, "late", 4), 4);
    tcp_poll_once();
    EXPECT_EQ(drain(client), "late");
}

TEST_F(echo_tcp_sm, a_client_that_does_not_read_gets_its_echo_once_it_does)
{
    connect_pair();
    int small = 4096;
    setsockopt(server->fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    // Fill the way back to the client first.
    std::string filler;
    for (;;) {
        char block[1024];
        memset(block, 'f', sizeof block);
        ssize_t n = send(server->fd, block, sizeof block, MSG_DONTWAIT);
        if (n <= 0) {
            ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
            break;
        }
        filler.append(block, n);
    }
    tcp_eventadd(server, TCP_EV_READ);
    ASSERT_EQ(write(client, "hello", 5), 5);
    tcp_poll_once(); // reads, cannot write, waits for writability
    std::string got;
    char buf[4096];
    while (got.size() < filler.size()) {
        ssize_t n = read(client, buf, std::min(sizeof buf, filler.size() - got.size()));
        ASSERT_GT(n, 0);
        got.append(buf, n);
    }
    EXPECT_EQ(got, filler);
    tcp_poll_once();
    EXPECT_EQ(drain(client), "hello");
}

} // namespace
