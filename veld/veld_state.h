// Process-wide state of the tunnel daemon that no single module owns: the
// intervals from the command line, the descriptors of the event loop and the
// clocks every timer reads.
#pragma once

#include <cstdint>

struct veld_state {
    int cleanup_interval = 60; // -c: seconds between two session-expiry passes
    int usage_interval = 300;  // -i: seconds between two usage emissions
    int icmp_fd = -1;
    int udp_fd = -1;
    int tap_fd = -1;
    int tcp_fd = -1;
    const char *shm_arg = nullptr; // -l: handed unparsed to the shared-memory set-up
    int debug = 0;                 // -d: how often given; adds lines on the usage rounds
};
extern veld_state veld;

// Clock seam: every time veld looks at goes through these two, so tests can
// move time forward instead of waiting for it.
using veld_clock_f = double (*)();
extern veld_clock_f veld_clock_real; // wall clock, seconds since the epoch
extern veld_clock_f veld_clock_mono; // monotonic clock, seconds

// Wall-clock time in whole seconds.
int64_t veld_now();
