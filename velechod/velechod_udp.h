// The echo service's UDP side: every datagram goes back to its sender.
#pragma once

#include <cstddef>

constexpr size_t UDP_DGRAM_MAX = 65536;

// Receive one datagram on s and return it to its sender. 0, or -1 when the
// receive or the send failed (logged; the datagram is dropped).
int udp_echo_one(int s, char *buf, size_t size);
// Writes the counts of rate-limited lines once their second is over (the
// TCP thread calls it every turn; the UDP thread may block for long).
void udp_log_flush();
// The thread: socket on the echo port, then udp_echo_one for ever.
void *udp_thread(void *);
