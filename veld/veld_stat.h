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

// A round is written in slices, whole sessions at a time, one slice per loop
// turn, so that frames waiting behind it wait about a millisecond at most
// whatever the number of sessions. Every record of a round carries the time
// the round began; sessions created during a round are left to the next one.
constexpr unsigned STAT_SLICE_USEC = 300;     // a slice ends after this much time ...
constexpr unsigned STAT_SLICE_SESSIONS = 512; // ... or this many sessions
// Room for the round's "stamp;real;mono;" prefix.
constexpr size_t STAT_PREFIX_SIZE = 128;

struct stat_state {
    double last_emit = 0; // wall clock of the last emission round
    // The round being written, if any.
    bool active = false;
    uint32_t gen = 0; // number of the latest round; sessions keep the one they were written in
    double real = 0;  // the round's times, as printed
    double mono = 0;
    sess *next = nullptr; // next session to visit
    int nsess = 0;        // visited so far
    int nentry = 0;       // records written so far
    char prefix[STAT_PREFIX_SIZE] = {};
    size_t prefix_len = 0;
    // Slice bounds; tests make them small.
    unsigned slice_usec = STAT_SLICE_USEC;
    unsigned slice_sessions = STAT_SLICE_SESSIONS;
    // How the round went, for the debug line: its slices, the longest one
    // and when it began (monotonic seconds).
    unsigned slices = 0;
    double longest = 0;
    double longest_cpu = 0; // CPU time of that slice (with -d)
    double began = 0;
};
extern stat_state statst;

// Called every loop iteration: starts a round when usage_interval has passed
// and writes the next slice of the round in progress.
void stat_emit();
// True while a round has sessions left to write: the loop must not sleep.
bool stat_round_active();
// Writes what is left of the round in progress at once (nothing when none).
void stat_round_finish();
// Finishes the round in progress, then writes a whole round at the current
// time, whatever the interval: every session's counters leave in it (at a stop).
void stat_emit_now();
// A session is about to be freed: the round in progress must not visit it.
void stat_forget(const sess *sp);
