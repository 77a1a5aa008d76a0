// Session table: one session per client station (source MAC address) on one
// transport endpoint. Learns sessions from client frames, switches frames
// between them like an Ethernet switch and expires silent ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

#include "veld_sessrec.h"
#include "veld_state.h"

// Bucket array of the largest power of two not above elements, all empty.
sess_bucket *sessinit(int elements, uint32_t *mask);

uint32_t sess_hash(const uint8_t mac[6]);
// Peer addresses from which no client frame is accepted.
bool sess_is_local(const struct sockaddr *addr, socklen_t addrlen);
const char *sess_mode(uint32_t type);

// origin: the connection (struct tcpconn *) for TCP, a struct icmp_origin for
// ICMP, nullptr for UDP. created, when given, becomes 1 for a new session and
// 0 for a known one; it is untouched when the frame is refused.
void sess_rx(const struct sockaddr *addr, socklen_t addrlen, const uint8_t *frame, size_t len,
             uint32_t type, const void *origin, int *created);
// Null when a new session would break the limits (the frame is then dropped).
sess *sess_insert(const struct sockaddr *addr, socklen_t addrlen, const uint8_t *frame, size_t len,
                  uint32_t type, const void *origin, int *created);
sess *sess_find(const uint8_t *frame, size_t len);
void sess_tx(sess *sp, const uint8_t *frame, size_t len);
void sess_broadcast(const uint8_t *frame, size_t len, const sess *except);
// A broadcast from the TAP device: an ARP request for a bound address goes
// to its owner only, anything else to every session.
void sess_bcast_from_tap(const uint8_t *frame, size_t len);
// A broadcast from client session sp, after its accounting: a gratuitous ARP
// and an ARP request for the TAP device's addresses go to the TAP device, an
// ARP request for a bound address to its owner only; anything else to every
// other session (within sp's budget) and to the TAP device.
void sess_bcast_from_client(sess *sp, const uint8_t *frame, size_t len);

// What kind of ARP frame a frame is; *spa and *tpa (network byte order) are
// set for every ARP kind.
enum class sess_arp_kind { none, request, reply, gratuitous };
sess_arp_kind sess_arp_parse(const uint8_t *frame, size_t len, uint32_t *spa, uint32_t *tpa);
// Learns the addresses a client frame shows for its session.
void sess_learn(sess *sp, const uint8_t *frame, size_t len);
// Binds ip to sp (moving it from another session); addresses no station may
// own are refused.
void sess_arp_bind(sess *sp, uint32_t ip);
// The session an address is bound to, or null.
sess *sess_arp_owner(uint32_t ip);
// Whether sp may fan one more broadcast out to the other sessions now
// (takes it from the budget).
bool sess_bcast_budget(sess *sp);
void sess_cleanup();

// Writes the counts of lines the rate limiters held back (once a second).
void sess_log_flush();

// Frees every session and the table (dropping connection references), so
// that tests can start from nothing.
void sess_reset();
