// Per-frame usage accounting of the sessions, and the usage records written
// from it: periodically and when a session expires.
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

// Usage records go to the shared-memory log under this tag, with id 0.
constexpr unsigned STAT_VSL_TAG = 2; // "TrafficUsage"

// Writes the usage records of one session into the shared-memory log and
// resets its counters; adds one to *nentry per record. real and mono are the
// times printed in the records; -1 reads the clock now.
void sess_stat_flush(sess *sp, int *nentry, double real, double mono);

struct stat_state {
    double last_emit = 0; // wall clock of the last emission round
};
extern stat_state statst;

// One emission round when usage_interval has passed; called every loop iteration.
void stat_emit();
