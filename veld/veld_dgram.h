// Datagram transports: Ethernet frames in UDP datagrams to port 10008, and in
// ICMP echo requests answered by echo replies. Ordinary pings are answered here
// too, since the kernel's own echo replies are off on a node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <sys/types.h>

struct sess;
struct mmsghdr;

constexpr size_t DGRAM_BUF_SIZE = 4096;
constexpr uint16_t VELD_PORT = 10008;
// Bytes 8 to 11 of an ICMP tunnel message.
constexpr uint8_t ICMP_TUNNEL_MAGIC[4] = {0xf1, 0x6d, 0x9f, 0xc4};
constexpr size_t ICMP_TUNNEL_HDR = 12;
// Datagrams taken from a socket per readiness, and queued for one
// sendmmsg(2): enough to spread the cost of the call over many frames, few
// enough that one busy client does not keep the others waiting.
constexpr unsigned DGRAM_BATCH = 64;

// Seam for tests: every datagram veld sends goes through here.
using dgram_sendto_f = ssize_t (*)(int fd, const void *buf, size_t len, const struct sockaddr *addr,
                                   socklen_t addrlen);
extern dgram_sendto_f dgram_sendto;
// Seams for the batched paths (flags as for recvmmsg(2) and sendmmsg(2)).
using dgram_mmsg_f = int (*)(int fd, struct mmsghdr *msgs, unsigned n, int flags);
extern dgram_mmsg_f dgram_recvmmsg;
extern dgram_mmsg_f dgram_sendmmsg;

// Internet checksum (RFC 1071) over len bytes, as stored in the header.
uint16_t icmp_cksum(const void *data, size_t len);

void udp_rx(const uint8_t *buf, size_t len, const struct sockaddr *addr, socklen_t addrlen);
void icmp_rx(uint8_t *pkt, size_t len, const struct sockaddr *addr, socklen_t addrlen);
void udp_tx(sess *sp, const uint8_t *frame, size_t len);
void udp_tx_bcast(sess *sp, const uint8_t *frame, size_t len);
void icmp_tx(sess *sp, const uint8_t *frame, size_t len);
void icmp_echo_answer(uint8_t *msg, size_t len, const struct sockaddr *addr, socklen_t addrlen);

// Receive batches: take up to DGRAM_BATCH datagrams that are ready on the
// socket and hand each to icmp_rx or udp_rx. The number taken, or -1 when
// the receive failed (logged); nothing ready is no failure.
int icmp_rx_batch();
int udp_rx_batch();

// Send batching, for the event loop: once switched on, sends to clients and
// echo answers are queued (a copy of each) and go out by sendmmsg(2) when a
// queue is full or at dgram_flush(). Accounting and error lines are those of
// the single sends, per frame. Queued entries point to their sessions, so
// the queues must be flushed before any session can expire.
void dgram_batching(bool on);
// With wanted, switches on segmentation offload on the UDP socket (runs of
// equal datagrams to one client leave in one message with UDP_SEGMENT) and
// receive offload (UDP_GRO: a client's run arrives as one buffer, cut here
// into its datagrams) where the kernel offers them. Says what is on, for the
// start-up line.
const char *dgram_offload_setup(bool wanted);
void dgram_flush();
// Datagrams queued and not yet sent.
unsigned dgram_queued();
