// Common ground of the veld harnesses: no system log, no sockets, no TAP
// device, a clock that the harness moves, a small shared-memory log in a
// scratch directory, and a fresh session table for every input.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vas.h"
#include "veld_dgram.h"
#include "veld_sess.h"
#include "veld_shmlog.h"
#include "veld_stat.h"
#include "veld_state.h"
#include "veld_tap.h"
#include "veld_tcp.h"
#include "vlog.h"

namespace veld_fuzz
{
inline double now_real = 1e6;
inline double now_mono = 1e3;

inline double clock_real()
{
    return now_real;
}
inline double clock_mono()
{
    return now_mono;
}
inline void quiet(int, const char *) {}
inline ssize_t tap_sink(const void *, size_t n)
{
    return static_cast<ssize_t>(n);
}
inline ssize_t send_sink(int, const void *, size_t n, const struct sockaddr *, socklen_t)
{
    return static_cast<ssize_t>(n);
}

// Node addresses as on a real node: the public address 198.51.100.1, the
// TAP device's MAC 02:aa:00:00:00:01.
inline void setup()
{
    static bool done;
    if (done)
        return;
    done = true;
    // The log file is made in the current directory; libFuzzer still reads
    // its corpus relative to the old one afterwards.
    char dir[] = "/tmp/veld_fuzz.XXXXXX";
    VAS_ASSERT(mkdtemp(dir) != nullptr);
    int cwd = open(".", O_RDONLY | O_DIRECTORY);
    VAS_ASSERT(cwd >= 0);
    VAS_ASSERT(chdir(dir) == 0);
    SHM_Init("64k,4k,-");
    VSL_Init();
    VAS_ASSERT(unlink(SHM_FILENAME) == 0); // stays mapped; nothing left behind
    VAS_ASSERT(fchdir(cwd) == 0);
    VAS_ASSERT(close(cwd) == 0);
    VAS_ASSERT(rmdir(dir) == 0);
    VLOG_SetSink(quiet);
    veld_clock_real = clock_real;
    veld_clock_mono = clock_mono;
    tap_write_fn = tap_sink;
    dgram_sendto = send_sink;
    veld.udp_fd = 100;
    veld.icmp_fd = 101;
    tapst.public_ip = htonl(0xc6336401);
    const uint8_t mac[6] = {0x02, 0xaa, 0, 0, 0, 1};
    std::memcpy(tapst.mac, mac, 6);
    tapst.has_mac = true;
}

inline void begin()
{
    setup();
    sesst.sesstbl = sessinit(512, &sesst.sesstbl_mask);
}

// Writes every session's usage, expires them all and closes every
// connection, so each input starts from nothing and leaks show.
inline void end()
{
    statst.last_emit = 0;
    stat_emit();
    veld.cleanup_interval = 0;
    sess_cleanup();
    now_real += 601;
    now_mono += 601;
    sess_cleanup();
    VAS_ASSERT(sesst.n_sess == 0);
    tcp_expire_idle();
    while (tcpst.tcplist != nullptr)
        tcp_close(tcpst.tcplist);
    sess_reset();
    sesst.last_cleanup = 0;
}

inline struct sockaddr_in peer(uint8_t sel)
{
    // Mostly public clients on a few ports; now and then a local or the node's own address.
    static const uint32_t hosts[8] = {0xcb007101, 0xcb007102, 0xc6336401, 0x0a000001,
                                      0xcb007101, 0xac200001, 0xc0a80101, 0xcb007103};
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(hosts[sel & 7]);
    sin.sin_port = htons(static_cast<uint16_t>(1000 + (sel >> 3)));
    return sin;
}
} // namespace veld_fuzz
