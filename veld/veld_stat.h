// Per-frame usage accounting of the sessions, and the timing of the periodic
// usage emission.
#pragma once

#include <cstddef>
#include <cstdint>

struct sess;

constexpr int STAT_RX = 1;
constexpr int STAT_TX = 2;
constexpr int STAT_DIR_DST = 1; // key by the IPv4 destination
constexpr int STAT_DIR_SRC = 2; // key by the IPv4 source

void sess_stat_backend(sess *sp, int rxtx, int dir, uint32_t type, const uint8_t *frame,
                       size_t len);
void sess_stat_transport(sess *sp, int rxtx, uint32_t type, uint32_t addr, size_t len);

// Writes the usage records of one session and resets its counters. The
// records go to the shared-memory log, whose writer installs itself here once
// it is set up; without it nothing is written and the counters stay.
using stat_flush_f = void (*)(sess *sp, int *nentry, double real, double mono);
extern stat_flush_f stat_flush_hook;
void sess_stat_flush(sess *sp, int *nentry, double real, double mono);

struct stat_state {
    double last_emit = 0; // wall clock of the last emission round
};
extern stat_state statst;

// One emission round when usage_interval has passed; called every loop iteration.
void stat_emit();
