// The echo service's UDP side: a datagram comes back unchanged, from the
// address it was sent to (a node has several; its prober expects the one it
// probed).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "velechod_udp.h"

TEST(echo_udp, the_answer_leaves_from_the_address_that_was_probed)
{
    const char *what = nullptr;
    int s = udp_echo_socket(0, &what);
    ASSERT_GE(s, 0) << what;
    struct sockaddr_in sin = {};
    socklen_t len = sizeof sin;
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&sin), &len), 0);
    for (const char *probed : {"127.0.0.1", "127.0.0.2", "127.3.4.5"}) {
        int c = socket(AF_INET, SOCK_DGRAM, 0);
        struct timeval tv = {2, 0};
        setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        struct sockaddr_in to = sin;
        inet_pton(AF_INET, probed, &to.sin_addr);
        const std::string data = std::string("probe ") + probed + std::string(1, '\0') + "x";
        ASSERT_EQ(
            sendto(c, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to),
            static_cast<ssize_t>(data.size()));
        char buf[256];
        ASSERT_EQ(udp_echo_one(s, buf, sizeof buf), 0);
        struct sockaddr_in from = {};
        socklen_t fl = sizeof from;
        ssize_t n = recvfrom(c, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fl);
        ASSERT_EQ(n, static_cast<ssize_t>(data.size()));
        EXPECT_EQ(std::string(buf, n), data);
        char got[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, got, sizeof got);
        EXPECT_STREQ(got, probed);
        EXPECT_EQ(from.sin_port, sin.sin_port);
        close(c);
    }
    close(s);
}
