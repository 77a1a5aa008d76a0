#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "vss.h"
#include "vtim.h"

namespace
{

struct Parsed {
    int ret;
    bool has_host, has_port;
    std::string host, port;
};

Parsed parse(const char *s)
{
    char *h = reinterpret_cast<char *>(1), *p = reinterpret_cast<char *>(1);
    Parsed r{};
    r.ret = VSS_parse(s, &h, &p);
    r.has_host = h != nullptr;
    r.has_port = p != nullptr;
    if (h)
        r.host = h;
    if (p)
        r.port = p;
    free(h);
    free(p);
    return r;
}

TEST(VssParse, AddressForms)
{
    struct {
        const char *in;
        int ret;
        const char *host, *port; // nullptr: absent
    } cases[] = {
        {"[::1]:80", 0, "::1", "80"},
        {"[::1]", 0, "::1", nullptr},
        {"[fe80::1]:", 0, "fe80::1", ""},
        {"[::1]x", -1, nullptr, nullptr},
        {"[]:80", -1, nullptr, nullptr},
        {"[::1", -1, nullptr, nullptr},
        {"host 80", 0, "host", "80"},
        {"host:443", 0, "host", "443"},
        {":80", 0, nullptr, "80"},
        {" 80", 0, nullptr, "80"},
        {"host", 0, "host", nullptr},
        {"host:", 0, "host", ""},
        // A space is looked for before a colon.
        {"a:b c", 0, "a:b", "c"},
        // Without brackets the first colon splits an IPv6 text.
        {"::1", 0, nullptr, ":1"},
        {"", 0, "", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in);
        Parsed r = parse(c.in);
        EXPECT_EQ(r.ret, c.ret);
        EXPECT_EQ(r.has_host, c.host != nullptr);
        EXPECT_EQ(r.has_port, c.port != nullptr);
        if (c.host) {
            EXPECT_EQ(r.host, c.host);
        }
        if (c.port) {
            EXPECT_EQ(r.port, c.port);
        }
    }
}

TEST(VssParse, LongTexts)
{
    std::string host(70000, 'h');
    Parsed r = parse((host + ":" + std::string(5000, '9')).c_str());
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.host, host);
    EXPECT_EQ(r.port.size(), 5000u);
    r = parse(("[" + host).c_str());
    EXPECT_EQ(r.ret, -1);
    EXPECT_FALSE(r.has_host);
}

// Resolve a text and give back the (family, port) of every record.
std::vector<std::pair<int, int>> resolve(const char *s, const char *def_port = nullptr)
{
    struct vss_entry **va = reinterpret_cast<struct vss_entry **>(1);
    std::vector<std::pair<int, int>> out;
    int n = VSS_resolve(s, def_port, &va);
    if (n == 0) {
        EXPECT_EQ(va, nullptr);
        return out;
    }
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(va[i]->va_socktype, SOCK_STREAM);
        const auto *sa = reinterpret_cast<const struct sockaddr *>(&va[i]->va_addr);
        EXPECT_EQ(sa->sa_family, va[i]->va_family);
        int port = -1;
        if (va[i]->va_family == AF_INET) {
            EXPECT_EQ(va[i]->va_addrlen, (int)sizeof(struct sockaddr_in));
            port = ntohs(reinterpret_cast<const struct sockaddr_in *>(sa)->sin_port);
        } else if (va[i]->va_family == AF_INET6) {
            EXPECT_EQ(va[i]->va_addrlen, (int)sizeof(struct sockaddr_in6));
            port = ntohs(reinterpret_cast<const struct sockaddr_in6 *>(sa)->sin6_port);
        }
        out.emplace_back(va[i]->va_family, port);
    }
    VSS_free(va, n);
    return out;
}

TEST(VssResolve, PortsAndDefaults)
{
    using V = std::vector<std::pair<int, int>>;
    EXPECT_EQ(resolve("127.0.0.1:443"), (V{{AF_INET, 443}}));
    EXPECT_EQ(resolve("127.0.0.1 8080"), (V{{AF_INET, 8080}}));
    EXPECT_EQ(resolve("[::1]:10010"), (V{{AF_INET6, 10010}}));
    EXPECT_EQ(resolve("127.0.0.1:65535"), (V{{AF_INET, 65535}}));
    EXPECT_EQ(resolve("127.0.0.1:0"), (V{{AF_INET, 0}}));
    // The port in the text wins over the default one.
    EXPECT_EQ(resolve("127.0.0.1:99", "7"), (V{{AF_INET, 99}}));
    EXPECT_EQ(resolve("127.0.0.1", "7"), (V{{AF_INET, 7}}));
    // No host: the wildcard addresses.
    V any = resolve(":10007");
    ASSERT_FALSE(any.empty());
    for (auto &e : any)
        EXPECT_EQ(e.second, 10007);
}

TEST(VssResolve, BadTextsGiveNoRecords)
{
    EXPECT_TRUE(resolve("127.0.0.1:70000").empty());
    EXPECT_TRUE(resolve("127.0.0.1:65536").empty());
    EXPECT_TRUE(resolve("127.0.0.1:-1").empty());
    EXPECT_TRUE(resolve("127.0.0.1:99999999999999999999999999").empty());
    EXPECT_TRUE(resolve("127.0.0.1:-99999999999999999999999999").empty());
    EXPECT_TRUE(resolve("[::1]x").empty());
    EXPECT_TRUE(resolve("[::1").empty());
    // A bracketed literal needs its port in the text.
    EXPECT_TRUE(resolve("[::1]", "80").empty());
    EXPECT_TRUE(resolve("127.0.0.1:80x").empty());
    // Overlong texts are refused before anything is looked up.
    const std::string big(100000, 'a');
    EXPECT_TRUE(resolve((big + ":70000").c_str()).empty());
    EXPECT_TRUE(resolve(("127.0.0.1:" + std::string(100000, '9')).c_str()).empty());
    EXPECT_TRUE(resolve(("[" + big).c_str()).empty());
}

// A loopback listener on an ephemeral port.
struct Listener {
    int fd = -1;
    int port = 0;
    Listener(int family, int backlog, int want_port = 0)
    {
        std::string text = family == AF_INET6 ? "[::1]:" : "127.0.0.1:";
        text += std::to_string(want_port);
        struct vss_entry **va = nullptr;
        int n = VSS_resolve(text.c_str(), nullptr, &va);
        if (n == 1)
            fd = vss_listen_one(va[0], backlog);
        VSS_free(va, n);
        if (fd < 0)
            return;
        struct sockaddr_storage ss;
        socklen_t l = sizeof ss;
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&ss), &l);
        port = family == AF_INET6 ? ntohs(reinterpret_cast<struct sockaddr_in6 *>(&ss)->sin6_port)
                                  : ntohs(reinterpret_cast<struct sockaddr_in *>(&ss)->sin_port);
    }
    ~Listener()
    {
        if (fd >= 0)
            close(fd);
    }
};

bool have_ipv6()
{
    Listener l(AF_INET6, 1);
    return l.fd >= 0;
}

TEST(VssOpen, ConnectsWithAndWithoutTimeout)
{
    Listener l(AF_INET, 8);
    ASSERT_GE(l.fd, 0);
    std::string text = "127.0.0.1:" + std::to_string(l.port);

    int fd = VSS_open(text.c_str(), 0);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    close(fd);
    int c = accept(l.fd, nullptr, nullptr);
    ASSERT_GE(c, 0);
    close(c);

    fd = VSS_open(text.c_str(), 2.0);
    ASSERT_GE(fd, 0);
    // Still non-blocking: callers switch it back themselves.
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    c = accept(l.fd, nullptr, nullptr);
    ASSERT_GE(c, 0);
    ASSERT_EQ(write(c, "x", 1), 1);
    struct pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    char b;
    EXPECT_EQ(read(fd, &b, 1), 1);
    close(c);
    close(fd);
}

TEST(VssOpen, RefusedAndUnresolvableFail)
{
    int port;
    {
        Listener l(AF_INET, 1);
        ASSERT_GE(l.fd, 0);
        port = l.port;
    } // closed: nothing listens there now
    std::string text = "127.0.0.1:" + std::to_string(port);
    errno = 0;
    EXPECT_EQ(VSS_open(text.c_str(), 0), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    errno = 0;
    EXPECT_EQ(VSS_open(text.c_str(), 2.0), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(VSS_open("127.0.0.1:70000", 2.0), -1);
    EXPECT_EQ(VSS_open("[::1", 0), -1);
}

// Fill a listener's accept queue so that further SYNs are dropped: a connect
// to it then never completes. Gives the sockets that hold the queue.
std::vector<int> fill_backlog(int family, int port)
{
    std::vector<int> held;
    std::string text = (family == AF_INET6 ? "[::1]:" : "127.0.0.1:") + std::to_string(port);
    struct vss_entry **va = nullptr;
    int n = VSS_resolve(text.c_str(), nullptr, &va);
    for (int i = 0; i < 16 && n == 1; ++i) {
        int fd = vss_connect_one(va[0], 1);
        if (fd < 0)
            break;
        held.push_back(fd);
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, 200) == 0)
            break; // this one hangs: the queue is full
    }
    VSS_free(va, n);
    return held;
}

TEST(VssOpen, GivesUpAfterTheTimeout)
{
    Listener l(AF_INET, 0);
    ASSERT_GE(l.fd, 0);
    std::vector<int> held = fill_backlog(AF_INET, l.port);
    ASSERT_FALSE(held.empty());
    std::string text = "127.0.0.1:" + std::to_string(l.port);

    double t0 = VTIM_mono();
    errno = 0;
    int fd = VSS_open(text.c_str(), 0.3);
    double dt = VTIM_mono() - t0;
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(dt, 0.29);
    EXPECT_LT(dt, 5.0);
    for (int fd2 : held)
        close(fd2);
}

TEST(VssOpen, TriesTheNextAddressAfterATimeout)
{
    if (!have_ipv6())
        GTEST_SKIP() << "no IPv6 loopback";
    // One port on both loopbacks; a wildcard text resolves to both families.
    Listener v4(AF_INET, 0);
    ASSERT_GE(v4.fd, 0);
    Listener v6(AF_INET6, 0, v4.port);
    if (v6.fd < 0)
        GTEST_SKIP() << "port taken on ::1";
    std::string text = ":" + std::to_string(v4.port);
    struct vss_entry **va = nullptr;
    int n = VSS_resolve(text.c_str(), nullptr, &va);
    std::vector<int> fams;
    for (int i = 0; i < n; ++i)
        fams.push_back(va[i]->va_family);
    VSS_free(va, n);
    if (fams.size() != 2 || fams[0] == fams[1])
        GTEST_SKIP() << "wildcard does not resolve to both families";

    // The first address in resolver order hangs, the second one answers.
    std::vector<int> held = fill_backlog(fams[0], v4.port);
    ASSERT_FALSE(held.empty());
    double t0 = VTIM_mono();
    int fd = VSS_open(text.c_str(), 0.3);
    double dt = VTIM_mono() - t0;
    ASSERT_GE(fd, 0);
    EXPECT_GE(dt, 0.29);
    struct sockaddr_storage ss;
    socklen_t sl = sizeof ss;
    ASSERT_EQ(getpeername(fd, reinterpret_cast<struct sockaddr *>(&ss), &sl), 0);
    EXPECT_EQ(ss.ss_family, fams[1]);
    close(fd);
    for (int h : held)
        close(h);
}

TEST(VssBind, SecondListenerOnAPortFailsCleanly)
{
    Listener a(AF_INET, 1);
    ASSERT_GE(a.fd, 0);
    errno = 0;
    Listener b(AF_INET, 1, a.port);
    EXPECT_EQ(b.fd, -1);
    EXPECT_EQ(errno, EADDRINUSE);
}

TEST(VssBind, Ipv6ListenerIsIpv6Only)
{
    if (!have_ipv6())
        GTEST_SKIP() << "no IPv6 loopback";
    struct vss_entry **va = nullptr;
    ASSERT_EQ(VSS_resolve("[::]:0", nullptr, &va), 1);
    int fd = vss_listen_one(va[0], 4);
    VSS_free(va, 1);
    ASSERT_GE(fd, 0);
    int v = 0;
    socklen_t l = sizeof v;
    ASSERT_EQ(getsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v, &l), 0);
    EXPECT_EQ(v, 1);
    ASSERT_EQ(getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &v, &l), 0);
    EXPECT_EQ(v, 1);
    close(fd);
}

} // namespace
