// Fakes shared by the veld unit tests: log capture, the clocks, TAP writes and
// datagram sends, builders for addresses and Ethernet frames, and a fixture
// that wires them in around a fresh session table.
#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "veld_dgram.h"
#include "veld_sess.h"
#include "veld_state.h"
#include "veld_tap.h"
#include "veld_tcp.h"
#include "vlog.h"
#include "vrate.h"

namespace veld_test
{
inline std::vector<std::string> logs;
inline std::vector<int> prios;

inline void sink(int prio, const char *line)
{
    logs.emplace_back(line);
    prios.push_back(prio);
}

inline bool logged(const std::string &needle)
{
    for (auto &l : logs)
        if (l.find(needle) != std::string::npos)
            return true;
    return false;
}

inline double fake_now;
inline double fake_mono;

inline double fake_clock()
{
    return fake_now;
}
inline double fake_mono_clock()
{
    return fake_mono;
}

inline std::vector<std::vector<uint8_t>> tap_out;

inline ssize_t fake_tap(const void *p, size_t n)
{
    auto *b = static_cast<const uint8_t *>(p);
    tap_out.emplace_back(b, b + n);
    return n;
}

struct sent {
    int fd;
    std::vector<uint8_t> bytes;
    uint16_t port;
};
inline std::vector<sent> sends;

inline ssize_t fake_sendto(int fd, const void *p, size_t n, const struct sockaddr *a, socklen_t)
{
    auto *b = static_cast<const uint8_t *>(p);
    uint16_t port = a != nullptr ? ntohs(reinterpret_cast<const sockaddr_in *>(a)->sin_port) : 0;
    sends.push_back({fd, {b, b + n}, port});
    return n;
}

inline sockaddr_in ip4(const char *host, uint16_t port)
{
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    inet_pton(AF_INET, host, &sin.sin_addr);
    return sin;
}

// Ethernet frame from station 2:0:0:0:0:<src_mac> to 2:0:0:0:0:99; for IPv4
// the addresses sit at offsets 26 and 30.
inline std::vector<uint8_t> eth(size_t len, uint16_t type, const char *src = nullptr,
                                const char *dst = nullptr, uint8_t src_mac = 1)
{
    std::vector<uint8_t> f(len < 34 ? 34 : len, 0);
    f[0] = 2;
    f[5] = 0x99;
    f[6] = 2;
    f[11] = src_mac;
    f[12] = type >> 8;
    f[13] = type & 0xff;
    if (src != nullptr)
        inet_pton(AF_INET, src, &f[26]);
    if (dst != nullptr)
        inet_pton(AF_INET, dst, &f[30]);
    f.resize(len);
    return f;
}

// Captures the log, fakes the real clock, the TAP device and datagram sends,
// and gives each test an empty session table; afterwards every session and
// TCP connection is gone again.
class VeldTest : public ::testing::Test
{
  protected:
    explicit VeldTest(double start = 1000000) : start_(start) {}

    void SetUp() override
    {
        logs.clear();
        prios.clear();
        tap_out.clear();
        sends.clear();
        fake_now = start_;
        VLOG_SetSink(sink);
        VRATE_SetClock(fake_clock);
        veld_clock_real = fake_clock;
        tap_write_fn = fake_tap;
        dgram_sendto = fake_sendto;
        tapst.public_ip = 0xffffffffu;
        sesst.sesstbl = sessinit(512, &sesst.sesstbl_mask);
    }
    void TearDown() override
    {
        sess_reset();
        while (tcpst.tcplist != nullptr)
            tcp_close(tcpst.tcplist);
        VLOG_SetSink(nullptr);
        VRATE_SetClock(nullptr);
    }

  private:
    double start_;
};
} // namespace veld_test
