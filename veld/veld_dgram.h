// Datagram transports: Ethernet frames in UDP datagrams to port 10008, and in
// ICMP echo requests answered by echo replies. Ordinary pings are answered here
// too, since the kernel's own echo replies are off on a node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>

struct sess;

constexpr size_t DGRAM_BUF_SIZE = 4096;
constexpr uint16_t VELD_PORT = 10008;
// Bytes 8 to 11 of an ICMP tunnel message.
constexpr uint8_t ICMP_TUNNEL_MAGIC[4] = {0xf1, 0x6d, 0x9f, 0xc4};
constexpr size_t ICMP_TUNNEL_HDR = 12;

// Seam for tests: every datagram veld sends goes through here.
using dgram_sendto_f = ssize_t (*)(int fd, const void *buf, size_t len, const struct sockaddr *addr,
                                   socklen_t addrlen);
extern dgram_sendto_f dgram_sendto;

// Internet checksum (RFC 1071) over len bytes, as stored in the header.
uint16_t icmp_cksum(const void *data, size_t len);

void udp_rx(const uint8_t *buf, size_t len, const struct sockaddr *addr, socklen_t addrlen);
void icmp_rx(uint8_t *pkt, size_t len, const struct sockaddr *addr, socklen_t addrlen);
void udp_tx(sess *sp, const uint8_t *frame, size_t len);
void udp_tx_bcast(sess *sp, const uint8_t *frame, size_t len);
void icmp_tx(sess *sp, const uint8_t *frame, size_t len);
void icmp_echo_answer(uint8_t *msg, size_t len, const struct sockaddr *addr, socklen_t addrlen);
