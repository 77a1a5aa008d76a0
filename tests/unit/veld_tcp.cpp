// Framed TCP transport over socketpairs: the reader fed in pieces, header
// validation, the write queue with its cap, and closing rules.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "veld_sess.h"
#include "veld_state.h"
#include "veld_tap.h"
#include "veld_tcp.h"
#include "veld_test_util.h"
#include "vlog.h"
#include "vtim.h"

using namespace veld_test;

namespace
{
std::vector<uint8_t> unit(size_t flen, uint8_t src_last = 1)
{
    std::vector<uint8_t> u(4 + flen, 0);
    u[0] = 'V';
    u[2] = flen & 0xff;
    u[3] = flen >> 8;
    for (size_t i = 0; i < flen; i++)
        u[4 + i] = static_cast<uint8_t>(i * 7);
    if (flen >= 12) {
        const uint8_t dst[6] = {2, 0, 0, 0, 0, 0x99}, src[6] = {2, 0, 0, 0, 0, src_last};
        std::memcpy(&u[4], dst, 6);
        std::memcpy(&u[10], src, 6);
    }
    return u;
}

class Tcp : public VeldTest
{
  protected:
    Tcp() : VeldTest(2000000) {}
    int peer = -1;
    tcpconn *tc = nullptr;

    void SetUp() override
    {
        VeldTest::SetUp();
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        ASSERT_EQ(fcntl(sv[0], F_SETFL, O_NONBLOCK), 0);
        peer = sv[1];
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(40000);
        inet_pton(AF_INET, "198.51.100.5", &sin.sin_addr);
        tc = tcp_new(sv[0], reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    }
    void TearDown() override
    {
        VeldTest::TearDown();
        if (peer >= 0)
            close(peer);
    }
    void send(const std::vector<uint8_t> &b)
    {
        ASSERT_EQ(write(peer, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    }
    // Feeds bytes with one tcp_read per byte, as separate readiness events would.
    int feed_bytewise(const std::vector<uint8_t> &b)
    {
        for (uint8_t c : b) {
            EXPECT_EQ(write(peer, &c, 1), 1);
            int r = tcp_read(tc);
            if (r != 0)
                return r;
        }
        return 0;
    }
};
} // namespace

TEST_F(Tcp, OneByteAtATime)
{
    EXPECT_TRUE(logged("[INFO] TCP connection is accepted from 198.51.100.5:40000 (tc "));
    auto u = unit(60);
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(feed_bytewise({u[i]}), 0);
        EXPECT_EQ((tc->flags & TC_HDR_READ) != 0, i < 3);
    }
    EXPECT_EQ(tc->rbuflen, 4);
    // Nothing waiting: EAGAIN is not a failure.
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(feed_bytewise({u.begin() + 4, u.end()}), 0);
    EXPECT_TRUE(tc->flags & TC_HDR_READ);
    EXPECT_EQ(tc->rbuflen, 0);
    EXPECT_TRUE(tc->flags & TC_HAS_SESSION);
    EXPECT_EQ(tc->refcnt, 1);
    ASSERT_EQ(tap_out.size(), 1u);
    EXPECT_EQ(tap_out[0], std::vector<uint8_t>(u.begin() + 4, u.end()));

    // Reads never run into the next unit: two units in one write come one by one.
    auto two = unit(20, 1);
    auto second = unit(30, 1);
    two.insert(two.end(), second.begin(), second.end());
    send(two);
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(tcp_read(tc), 0);
    ASSERT_EQ(tap_out.size(), 3u);
    EXPECT_EQ(tap_out[1].size(), 20u);
    EXPECT_EQ(tap_out[2].size(), 30u);
}

TEST_F(Tcp, FrameSizes)
{
    send(unit(13));
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_TRUE(logged("[WARN] too small packet for TCP: 13"));
    EXPECT_TRUE(tap_out.empty());
    EXPECT_FALSE(tc->flags & TC_HAS_SESSION);
    send(unit(14));
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tap_out.size(), 1u);
    send(unit(2043));
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_TRUE(logged("[ERROR] Ooops, too big frame (2043) is received"));
    ASSERT_EQ(tap_out.size(), 2u);
    EXPECT_EQ(tap_out[1].size(), 2043u);
}

TEST_F(Tcp, BadHeadersEndTheConnection)
{
    struct {
        std::vector<uint8_t> hdr;
        const char *log;
    } cases[] = {
        {{'X', 0, 60, 0}, "[WARN] WRONG veldhdr magic for TCP 'X'"},
        {{'V', 0, 0, 0}, nullptr},
        {{'V', 0, 0xfc, 0x07}, nullptr}, // 2044
        {{'V', 1, 60, 0}, nullptr},
    };
    for (auto &c : cases) {
        logs.clear();
        tc->rbuflen = 0;
        tc->flags |= TC_HDR_READ;
        send(c.hdr);
        EXPECT_EQ(tcp_read(tc), -1);
        if (c.log != nullptr) {
            EXPECT_TRUE(logged(c.log));
        }
    }
    // End of stream in the body.
    tc->rbuflen = 0;
    tc->flags |= TC_HDR_READ;
    auto u = unit(60);
    send({u.begin(), u.begin() + 10});
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tc->rbuflen, 10);
    close(peer);
    peer = -1;
    EXPECT_EQ(tcp_read(tc), -1);
    EXPECT_TRUE(logged("[WARN] TCP read(2) EOF. (tc "));
}

TEST_F(Tcp, ReadErrorsAreLoggedAsErrors)
{
    int dfd = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dfd, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    tcpconn *d = tcp_new(dfd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    logs.clear();
    prios.clear();
    EXPECT_EQ(tcp_read(d), -1);
    ASSERT_EQ(logs.size(), 1u);
    ASSERT_EQ(prios.size(), 1u);
    EXPECT_EQ(logs[0].rfind("[ERROR] VELEC_00150: TCP read(2) failed: 21 ", 0), 0u);
    EXPECT_EQ(prios[0], LOG_ERR);
    d->flags &= ~TC_HDR_READ;
    d->rbuf[2] = 60;
    d->rbuflen = 4;
    EXPECT_EQ(tcp_read(d), -1);
    ASSERT_EQ(prios.size(), 2u);
    EXPECT_EQ(logs[1].rfind("[ERROR] TCP read(2) failed: 21 ", 0), 0u);
    EXPECT_EQ(prios[1], LOG_ERR);
}

TEST_F(Tcp, CleanupKeepsConnectionsWithSessions)
{
    auto *plain = tc;
    send(unit(60));
    EXPECT_EQ(tcp_read(plain), 0);
    EXPECT_EQ(tcp_read(plain), 0);
    ASSERT_TRUE(plain->flags & TC_HAS_SESSION);

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    close(sv[1]);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    tcpconn *bare = tcp_new(sv[0], reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    EXPECT_EQ(tcpst.n_tcp, 2u);
    plain->flags |= TC_DEAD;
    bare->flags |= TC_DEAD;
    tcp_cleanup_abnormal();
    EXPECT_EQ(tcpst.n_tcp, 1u);
    EXPECT_EQ(tcpst.tcplist, plain);
    // Frames still queue on the failed connection held by its session.
    uint8_t f[60] = {};
    sess_tx(sesst.sesslist_head, f, sizeof f);
    EXPECT_NE(plain->wq_head, nullptr);
}

TEST_F(Tcp, WriteQueueDrainsInOrder)
{
    sess *sp;
    send(unit(60));
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tcp_read(tc), 0);
    sp = sesst.sesslist_head;
    ASSERT_NE(sp, nullptr);

    int sz = 4096;
    setsockopt(tc->fd, SOL_SOCKET, SO_SNDBUF, &sz, sizeof sz);
    std::vector<uint8_t> expect;
    for (int i = 0; i < 200; i++) {
        std::vector<uint8_t> f(100 + i, static_cast<uint8_t>(i));
        tcp_enqueue(sp, tc, f.data(), f.size());
        expect.push_back('V');
        expect.push_back(0);
        expect.push_back(f.size() & 0xff);
        expect.push_back(f.size() >> 8);
        expect.insert(expect.end(), f.begin(), f.end());
    }
    EXPECT_TRUE(tc->want & TC_WANT_WRITE);
    std::vector<uint8_t> got;
    uint8_t buf[65536];
    for (int round = 0; round < 1000 && got.size() < expect.size(); round++) {
        ASSERT_EQ(tcp_write(tc), 0);
        ssize_t n;
        while ((n = recv(peer, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            got.insert(got.end(), buf, buf + n);
    }
    EXPECT_EQ(got, expect);
    EXPECT_EQ(tcp_write(tc), 0);
    EXPECT_FALSE(tc->want & TC_WANT_WRITE);
    EXPECT_EQ(tc->wq_head, nullptr);
    EXPECT_EQ(tc->wq_bytes, 0);

    // A peer that went away makes the write fail with the error line.
    close(peer);
    peer = -1;
    uint8_t f[60] = {};
    tcp_enqueue(sp, tc, f, sizeof f);
    signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(tcp_write(tc), -1);
    EXPECT_TRUE(logged("[ERROR] VELEC_00151: TCP write(2) failed: "));
}

TEST_F(Tcp, WriteQueueIsCapped)
{
    send(unit(60));
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tcp_read(tc), 0);
    sess *sp = sesst.sesslist_head;
    std::vector<uint8_t> f(1000, 0x45);
    int per = 1004, fit = static_cast<int>(TC_WQ_MAX / per);
    for (int i = 0; i < fit + 50; i++)
        tcp_enqueue(sp, tc, f.data(), f.size());
    EXPECT_EQ(tc->wq_bytes, static_cast<int64_t>(fit) * per);
    EXPECT_EQ(tc->n_dropped, 50u);
    int lines = 0;
    for (auto &l : logs)
        lines += l.find("TCP write queue is full") != std::string::npos;
    EXPECT_EQ(lines, 1); // rate-limited
    // Only queued frames are counted as sent.
    EXPECT_EQ(sp->peer_usage.tx, static_cast<uint64_t>(fit) * (1000 + 44));
    fake_now += TC_DROP_LOG_INTERVAL;
    tcp_enqueue(sp, tc, f.data(), f.size());
    lines = 0;
    for (auto &l : logs)
        lines += l.find("TCP write queue is full") != std::string::npos;
    EXPECT_EQ(lines, 2);
}

TEST(TcpDeath, RefcountNeverNegative)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    tcpconn *tc = tcp_new(-1, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    EXPECT_DEATH(tcp_decref(tc), "tc->refcnt >= 0");
    uint32_t magic = tc->magic;
    tc->magic = 1;
    EXPECT_DEATH(tcp_read(tc), "\\(tc\\)->magic == 0x29710467");
    tc->magic = magic;
    tcp_close(tc);
}

TEST(TcpAccept, DescriptorsFromFdSetSizeAreRefused)
{
    logs.clear();
    VLOG_SetSink(sink);
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_max < 1100)
        GTEST_SKIP() << "descriptor limit too low";
    struct rlimit raised = rl;
    raised.rlim_cur = 1100;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    ASSERT_EQ(listen(lfd, 8), 0);
    socklen_t sl = sizeof sin;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&sin), &sl);
    int c1 = socket(AF_INET, SOCK_STREAM, 0), c2 = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(c1, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    ASSERT_EQ(connect(c2, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);

    // A normal accept makes a connection record.
    ASSERT_EQ(tcp_accept(lfd), 0);
    ASSERT_NE(tcpst.tcplist, nullptr);
    EXPECT_EQ(tcpst.n_tcp, 1u);

    // With every descriptor below 1024 taken, the next one is refused and closed.
    std::vector<int> fill;
    for (;;) {
        int fd = dup(lfd);
        ASSERT_GE(fd, 0);
        if (fd >= 1024) {
            close(fd);
            break;
        }
        fill.push_back(fd);
    }
    EXPECT_EQ(tcp_accept(lfd), -1);
    EXPECT_EQ(tcpst.n_tcp, 1u);
    EXPECT_TRUE(logged("[WARN] TCP connection from 127.0.0.1:"));
    EXPECT_TRUE(logged("is refused: descriptor 1024 is not below 1024"));
    char b;
    EXPECT_EQ(recv(c2, &b, 1, 0), 0); // the client sees the close
    for (int fd : fill)
        close(fd);
    tcp_close(tcpst.tcplist);
    close(c1);
    close(c2);
    close(lfd);
    setrlimit(RLIMIT_NOFILE, &rl);
    VLOG_SetSink(nullptr);
}

TEST_F(Tcp, FailedReadStillWritesInTheSameTurn)
{
    send(unit(60));
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tcp_read(tc), 0);
    sess *sp = sesst.sesslist_head;
    ASSERT_NE(sp, nullptr);
    uint8_t f[60] = {1};
    tcp_enqueue(sp, tc, f, sizeof f);

    // The client sends garbage: the read fails, yet the queued frame goes out
    // in the same turn, since the socket is not watched after it.
    send({'X', 0, 1, 0});
    fd_set r, w;
    FD_ZERO(&r);
    FD_ZERO(&w);
    FD_SET(tc->fd, &r);
    FD_SET(tc->fd, &w);
    EXPECT_TRUE(tcp_service(&r, &w));
    EXPECT_TRUE(tc->flags & TC_DEAD);
    EXPECT_TRUE(logged("[WARN] WRONG veldhdr magic for TCP 'X'"));
    EXPECT_EQ(tc->wq_head, nullptr);
    uint8_t buf[128];
    EXPECT_EQ(recv(peer, buf, sizeof buf, MSG_DONTWAIT), 64);

    // Likewise the write error of a connection whose read ended is logged.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(fcntl(sv[0], F_SETFL, O_NONBLOCK), 0);
    sockaddr_in sin = ip4("198.51.100.6", 40001);
    tcpconn *gone = tcp_new(sv[0], reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    tcp_enqueue(sp, gone, f, sizeof f);
    close(sv[1]);
    signal(SIGPIPE, SIG_IGN);
    FD_ZERO(&r);
    FD_ZERO(&w);
    FD_SET(gone->fd, &r);
    FD_SET(gone->fd, &w);
    EXPECT_TRUE(tcp_service(&r, &w));
    EXPECT_TRUE(logged("[WARN] TCP read(2) EOF."));
    EXPECT_TRUE(logged("[ERROR] VELEC_00151: TCP write(2) failed: "));
    tcp_cleanup_abnormal();
    EXPECT_EQ(tcpst.n_tcp, 1u);
}

TEST_F(Tcp, IdleConnectionsWithoutSessionsAreClosed)
{
    fake_mono = 100;
    veld_clock_mono = fake_mono_clock;
    tcp_close(tc);
    sockaddr_in sin = ip4("198.51.100.5", 40000);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(fcntl(sv[0], F_SETFL, O_NONBLOCK), 0);
    close(peer);
    peer = sv[1];
    tc = tcp_new(sv[0], reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    (void)tcp_new(-1, reinterpret_cast<sockaddr *>(&sin), sizeof sin);

    // Too-small frames carry nothing and keep no connection alive.
    fake_mono = 130;
    send(unit(13));
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_TRUE(logged("[WARN] too small packet for TCP: 13"));
    fake_mono = 159;
    tcp_expire_idle();
    EXPECT_EQ(tcpst.n_tcp, 2u);
    fake_mono = 160;
    tcp_expire_idle();
    EXPECT_EQ(tcpst.n_tcp, 0u) << "both idle since 100";
    EXPECT_TRUE(logged("[INFO] TCP connection from 198.51.100.5:40000 carried no frame for 60 "
                       "seconds"));
    EXPECT_TRUE(logged("[INFO] TCP connection is closing"));
    tc = nullptr;

    // A connection that carries frames stays; one with a session lives as
    // long as the session does.
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(fcntl(sv[0], F_SETFL, O_NONBLOCK), 0);
    close(peer);
    peer = sv[1];
    tc = tcp_new(sv[0], reinterpret_cast<sockaddr *>(&sin), sizeof sin);
    fake_mono = 200;
    send(unit(60));
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tcp_read(tc), 0);
    ASSERT_TRUE(tc->flags & TC_HAS_SESSION);
    fake_mono = 1000;
    tcp_expire_idle();
    EXPECT_EQ(tcpst.n_tcp, 1u);
    veld_clock_mono = VTIM_mono;
}

TEST(TcpAccept, OutOfDescriptorsPausesAcceptWithOneWarning)
{
    logs.clear();
    VLOG_SetSink(sink);
    fake_mono = 500;
    veld_clock_mono = fake_mono_clock;
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin = ip4("127.0.0.1", 0);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);
    ASSERT_EQ(listen(lfd, 8), 0);
    socklen_t sl = sizeof sin;
    getsockname(lfd, reinterpret_cast<sockaddr *>(&sin), &sl);
    int c1 = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(c1, reinterpret_cast<sockaddr *>(&sin), sizeof sin), 0);

    // No descriptor left: the lowest free one is at the limit.
    struct rlimit rl, low;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    int lowest = dup(lfd);
    close(lowest);
    low = rl;
    low.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    EXPECT_EQ(tcp_accept(lfd), -1);
    EXPECT_EQ(tcp_accept(lfd), -1);
    setrlimit(RLIMIT_NOFILE, &rl);
    int lines = 0;
    for (auto &l : logs)
        lines += l.find("accept(2) error: 24 ") != std::string::npos;
    EXPECT_EQ(lines, 1);
    EXPECT_TRUE(logged("[WARN] accept(2) error: 24 Too many open files; new TCP connections wait"));
    EXPECT_DOUBLE_EQ(tcp_accept_wait(), TC_ACCEPT_PAUSE);
    fake_mono += TC_ACCEPT_PAUSE / 2;
    EXPECT_DOUBLE_EQ(tcp_accept_wait(), TC_ACCEPT_PAUSE / 2);
    fake_mono += TC_ACCEPT_PAUSE / 2;
    EXPECT_EQ(tcp_accept_wait(), 0);

    // The connection waited in the backlog and is taken now.
    EXPECT_EQ(tcp_accept(lfd), 0);
    EXPECT_EQ(tcpst.n_tcp, 1u);
    EXPECT_TRUE(logged("[INFO] TCP connections are accepted again (2 accept(2) calls failed)"));
    tcp_close(tcpst.tcplist);
    close(c1);
    close(lfd);
    veld_clock_mono = VTIM_mono;
    VLOG_SetSink(nullptr);
}

// One read takes every unit that has arrived. Wherever the stream is cut
// between two reads, the same frames come out in the same order; a
// too-small unit in the middle is dropped on its own.
TEST_F(Tcp, StreamCutAnywhereGivesTheSameFrames)
{
    std::vector<uint8_t> stream;
    std::vector<std::vector<uint8_t>> want;
    for (size_t flen : {60, 13, 1500, 14, 2043, 100}) {
        auto u = unit(flen);
        stream.insert(stream.end(), u.begin(), u.end());
        if (flen > 13)
            want.emplace_back(u.begin() + 4, u.end());
    }
    for (size_t cut = 0; cut <= stream.size(); cut++) {
        tap_out.clear();
        logs.clear();
        if (cut > 0)
            send({stream.begin(), stream.begin() + static_cast<long>(cut)});
        ASSERT_EQ(tcp_read(tc), 0) << cut;
        if (cut < stream.size())
            send({stream.begin() + static_cast<long>(cut), stream.end()});
        ASSERT_EQ(tcp_read(tc), 0) << cut;
        ASSERT_EQ(tap_out, want) << "cut at " << cut;
        int small = 0;
        for (auto &l : logs)
            small += l == "[WARN] too small packet for TCP: 13";
        EXPECT_EQ(small, 1) << cut;
        ASSERT_EQ(tc->rbuflen, 0) << cut;
        ASSERT_TRUE(tc->flags & TC_HDR_READ) << cut;
    }
    EXPECT_EQ(tc->refcnt, 1);
}

// A client with more waiting than one read takes gets the rest in the next
// turn; a bad header ends the connection after the units before it.
TEST_F(Tcp, ReadsAreBoundedAndABadHeaderKeepsTheUnitsBeforeIt)
{
    std::vector<uint8_t> lots;
    for (int i = 0; i < 100; i++) {
        auto u = unit(1000);
        lots.insert(lots.end(), u.begin(), u.end());
    }
    send(lots);
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tap_out.size(), TC_READ_SIZE / 1004);
    EXPECT_EQ(tcp_read(tc), 0);
    EXPECT_EQ(tap_out.size(), 100u);

    tap_out.clear();
    auto s = unit(60);
    auto t = unit(70);
    s.insert(s.end(), t.begin(), t.end());
    s.insert(s.end(), {'X', 0, 60, 0});
    send(s);
    EXPECT_EQ(tcp_read(tc), -1);
    EXPECT_EQ(tap_out.size(), 2u);
    EXPECT_TRUE(logged("[WARN] WRONG veldhdr magic for TCP 'X'"));
}
