// Callout wheel: a hashed timing wheel for one thread. Callers schedule a
// function some clock ticks ahead; the main loop refreshes the clock with
// cot_now and runs what became due with cot_run_due. Ticks are those of
// times(2), CLK_TCK (100) per second.
#pragma once

#include <cstdint>

constexpr std::uint32_t COT_ENTRY_MAGIC = 0x2d634820;
constexpr std::uint32_t COT_WHEEL_MAGIC = 0x63f1e2a7;

// cot_entry flags.
constexpr int COT_ARMED = 0x2;
constexpr int COT_QUEUED = 0x4;

// Process-wide debug flag word; COT_DEBUG_TRACE prints a trace of every
// wheel operation on standard output. Clear by default.
constexpr unsigned COT_DEBUG_TRACE = 0x40000;
extern unsigned cot_debug;

using cot_func_t = void (*)(void *);

// Embedded in the owner's structure; the wheel never allocates entries.
struct cot_entry {
    std::uint32_t magic;
    struct {
        cot_entry *next;
        cot_entry **prev; // the link that points at this entry
    } link;
    long due_tick;
    void *arg;
    cot_func_t func;
    int flags;
    int tag; // the owner's, unused by the wheel
    const char *caller_name;
    int caller_line;
};

// One bucket: a tail queue of entries.
struct cot_bucket {
    cot_entry *first;
    cot_entry **last; // the last entry's next link (or &first when empty)
};

struct cot_wheel {
    std::uint32_t magic;
    long ticks;     // current tick, as of the last cot_now
    long done_tick; // last tick whose bucket was processed
    int bucket_hint;
    int size; // power of two, not below bucket_hint
    int bits;
    int mask;
    cot_bucket *callwheel;
    cot_entry *next_check; // what cot_run_due looks at next
};

void cot_wheel_init(cot_wheel *cb);
void cot_wheel_fini(cot_wheel *cb);
// Refresh the wheel's clock.
void cot_now(cot_wheel *cb);
// Run every callout due up to the clock as last refreshed.
void cot_run_due(cot_wheel *cb);

void cot_entry_init(cot_entry *c, int tag);
// Run func(arg) to_ticks ticks after the clock as last refreshed (at least
// one). Gives true when c was pending and has been moved.
bool cot_schedule(cot_wheel *cb, cot_entry *c, long to_ticks, cot_func_t func, void *arg,
                  const char *name, int line);
// Gives true when c was pending and will now not run.
bool cot_cancel(cot_wheel *cb, cot_entry *c);
// True while c is scheduled and has not run yet.
inline bool cot_pending(const cot_entry *c)
{
    return (c->flags & COT_QUEUED) != 0;
}

#define COT_SCHEDULE(cb, c, to_ticks, func, arg)                                                   \
    cot_schedule((cb), (c), (to_ticks), (func), (arg), __func__, __LINE__)

// Clock seam for tests: the tick source cot_now and cot_wheel_init read;
// nullptr restores times(2).
using cot_clock_t = long (*)();
void cot_set_clock(cot_clock_t clock);
