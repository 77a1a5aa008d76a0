// Round-trip probes against another node: an ICMP echo, a one-byte UDP
// exchange and a TCP connection attempt. Each gives whole milliseconds, or
// -1 when the probe failed or nothing came back within RTT_WAIT_MS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

constexpr int RTT_WAIT_MS = 2000;       // per probe
constexpr size_t RTT_ICMP_LEN = 64;     // echo request, header included
constexpr size_t RTT_ICMP_RXMAX = 1024; // one received packet, IP header included
constexpr size_t RTT_UDP_RXMAX = 8192;
// Receive filter of the raw socket: a set bit blocks that ICMP type. Passes
// echo reply (0), unreachable (3), source quench (4), redirect (5) and time
// exceeded (11).
constexpr uint32_t RTT_ICMP_FILTER = 0xfffff7c6;

// The sequence counter every echo request shares (starts at 0).
struct rtt_state {
    uint16_t icmp_seq;
};
extern rtt_state rtt;

int rtt_icmp(const char *address);
int rtt_udp(const char *address, int port);
int rtt_tcp(const char *address, int port);

// The 64-byte echo request: type 8, identifier and sequence (network order),
// the send time as 8-byte seconds and 8-byte microseconds in host order, the
// Internet checksum over it all.
void rtt_icmp_build(uint8_t *pkt, uint16_t ident, uint16_t seq, const struct timeval &sent);
// Internet checksum (RFC 1071) of len bytes.
uint16_t rtt_cksum(const uint8_t *p, size_t len);

// What one received packet (IP header included) says about our echo.
enum class rtt_reply {
    ok,         // our echo reply: *ms holds the round trip
    unexpected, // an ICMP type other than echo reply
    foreign,    // an echo reply of another process
    malformed,  // too short, or a send time that makes no round trip
};
// Parse a packet read from the raw socket; now is the receive time.
rtt_reply rtt_icmp_parse(const uint8_t *pkt, size_t len, uint16_t ident, const struct timeval &now,
                         int *ms);
