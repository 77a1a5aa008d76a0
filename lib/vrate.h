// Rate-limited log lines, for every line a remote party can trigger per
// packet or per connection: such lines travel to the master, so a flood of
// bad packets must not become a flood of lines.
//
// A limiter lets VRATE_PER_SECOND lines through in each second; the lines
// beyond are counted, and the next line written after that second (or the
// next VRATE_Flush) is preceded by one line giving the count:
//     "[ERROR] Wrong header: 2731 more lines not logged"
// at the level of the lines that were held back. An occasional line is so
// always logged whole. Limiters are safe to share between threads.
#pragma once

#include <cstdint>
#include <mutex>

constexpr int VRATE_PER_SECOND = 5;

struct vrate {
    const char *name; // what the summary line names, e.g. "Wrong header"
    int per_second = VRATE_PER_SECOND;
    std::mutex mtx;
    double window = -1;    // monotonic start of the current second; <0: none yet
    int used = 0;          // lines written in it
    uint64_t held = 0;     // lines not written since the last summary
    int held_priority = 0; // most severe syslog priority among them

    explicit vrate(const char *what, int limit = VRATE_PER_SECOND) : name(what), per_second(limit)
    {
    }
};
// Usage: static vrate rl_hdr{"Wrong header"};

// Write a tagged line (level from its tag, untagged: informational) if the
// limiter lets it through.
void VRATE_Log(vrate *rl, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// The same at an explicit priority, for lines that carry no tag.
void VRATE_LogAt(vrate *rl, int priority, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Write the summary line of what was held back once its second is over; a
// daemon calls it from its periodic pass so a flood that stops is counted.
void VRATE_Flush(vrate *rl);
// Lines held back and not yet summarised.
uint64_t VRATE_Held(vrate *rl);
// Forget the count and the current second (tests, between cases).
void VRATE_Reset(vrate *rl);

// Tests drive the clock (monotonic seconds); nullptr restores VTIM_mono.
void VRATE_SetClock(double (*clock)());
