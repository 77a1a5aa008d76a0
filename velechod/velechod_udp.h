// The echo service's UDP side: every datagram goes back to its sender.
#pragma once

#include <cstddef>

constexpr size_t UDP_DGRAM_MAX = 65536;

// The UDP socket bound to port on all addresses, told to pass each
// datagram's destination address along; -1 with errno and the failing
// call's name in *what.
int udp_echo_socket(int port, const char **what);
// Receive one datagram on s and return it to its sender, from the address it
// was sent to: a node probed at one of its other addresses answers from that
// address, not from whichever one the kernel would pick. 0, or -1 when the
// receive or the send failed (logged; the datagram is dropped).
int udp_echo_one(int s, char *buf, size_t size);
// Writes the counts of rate-limited lines once their second is over (the
// TCP thread calls it every turn; the UDP thread may block for long).
void udp_log_flush();
// The thread: socket on the echo port, then udp_echo_one for ever.
void *udp_thread(void *);
