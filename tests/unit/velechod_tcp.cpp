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
#include "test_util.h"
#include "velechod_tcp.h"
#include "vlog.h"
#include "vtim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <vector>

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

// Out of descriptors, the listener rests instead of failing accept(2) in a
// loop: the thread sleeps, one line says so, one more when it accepts again.
TEST_F(echo_tcp_sm, a_shortage_of_descriptors_rests_the_listener)
{
    std::vector<std::pair<int, std::string>> want;
    test_util::logged.clear();
    VLOG_SetSink(test_util::capture);
    int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    struct sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sin), len), 0);
    ASSERT_EQ(listen(lfd, 8), 0);
    ASSERT_EQ(getsockname(lfd, reinterpret_cast<sockaddr *>(&sin), &len), 0);
    echo_tcp.listener = tcp_new(lfd);
    tcp_eventadd(echo_tcp.listener, TCP_EV_READ);
    echo_tcp.listening = true;
    echo_tcp.acc = vaccept{"TCP"};
    echo_tcp.acc.pause = 0.05;
    client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&sin), len), 0);
    ASSERT_EQ(write(client, "ping", 4), 4);

    struct rlimit old, low;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    low = old;
    int lowest = dup(0); // the descriptor accept would get
    close(lowest);
    low.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    double t0 = VTIM_mono();
    int turns = 0;
    while (VTIM_mono() - t0 < 0.3) {
        tcp_poll_once();
        turns++;
    }
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    // About one attempt per rest of 50 ms, not thousands.
    EXPECT_GE(echo_tcp.acc.failed, 2u);
    EXPECT_LE(echo_tcp.acc.failed, 10u);
    EXPECT_LE(turns, 20);
    for (int i = 0; i < 10 && !readable(client); i++)
        tcp_poll_once(); // the rest ends, the connection is taken and echoed
    EXPECT_EQ(drain(client), "ping");
    VLOG_SetSink(nullptr);
    ASSERT_EQ(test_util::logged.size(), 2u);
    EXPECT_EQ(test_util::logged[0].second, "[WARN] accept(2) error: 24 Too many open files; new "
                                           "TCP connections wait until descriptors are free");
    EXPECT_TRUE(
        test_util::logged[1].second.starts_with("[INFO] TCP connections are accepted again ("));
    tcp_eventdel(echo_tcp.listener);
    close(lfd);
    std::free(echo_tcp.listener);
    echo_tcp.listener = nullptr;
}
