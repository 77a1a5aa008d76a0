// Machine counters for the machine report: one sample of uptime, CPU time,
// paging, interrupts, processes, the eth0 and tap0 interface counters and the
// tap0 qdisc counters, and the report computed from two samples.
//
// The readers come in two layers: smon_parse_* take the text of a source and
// fill a sample (no files, so tests and fuzzers call them directly);
// smon_proc_* read the source itself and hand its text on.
#pragma once

#include <cstddef>
#include <cstdint>

struct vsb;

constexpr int SMON_SLOTS = 42;

// Slot numbers of smon_sample::v.
constexpr int SMON_UPTIME = 0; // seconds, from sysinfo
constexpr int SMON_CPU = 4;    // 4..11: the eight CPU times below
constexpr int SMON_PAGE = 12;  // 12, 13: pages in, out
constexpr int SMON_SWAP = 14;  // 14, 15: swap in, out
constexpr int SMON_INTR = 16;  // interrupts (the total)
constexpr int SMON_CTXT = 17;  // context switches
constexpr int SMON_PROCS = 18; // low half running, high half blocked
constexpr int SMON_BOOT = 19;  // low half boot time, high half processes created
constexpr int SMON_ETH0 = 20;  // 20..29: the ten interface counters of eth0
constexpr int SMON_TAP0 = 30;  // 30..39: the same for tap0
constexpr int SMON_QDROP = 40; // tap0 qdisc: number after "dropped"
constexpr int SMON_QOVER = 41; // tap0 qdisc: number after "overlimits"
// Offsets of the eight CPU times from SMON_CPU.
constexpr int SMON_USER = 0;
constexpr int SMON_NICE = 1;
constexpr int SMON_SYSTEM = 2;
constexpr int SMON_IDLE = 3;
constexpr int SMON_IOWAIT = 4;
constexpr int SMON_IRQ = 5;
constexpr int SMON_SOFTIRQ = 6;
constexpr int SMON_STEAL = 7;
// Interface counters kept per interface, in slot order: rx bytes, packets,
// errs, drop, fifo, then tx bytes, packets, errs, drop, fifo.
constexpr int SMON_IF_COUNTERS = 10;
// Slots whose change between two samples the report carries (20 to 41).
constexpr int SMON_DELTA_FIRST = SMON_ETH0;
constexpr int SMON_DELTAS = SMON_SLOTS - SMON_DELTA_FIRST;

struct smon_sample {
    uint64_t v[SMON_SLOTS];
};

// Two 32-bit values in one slot: lo in the low half, hi in the high half.
inline void smon_set_pair(smon_sample *s, int slot, uint32_t lo, uint32_t hi)
{
    s->v[slot] = (uint64_t)hi << 32 | lo;
}
inline uint32_t smon_lo(const smon_sample *s, int slot)
{
    return (uint32_t)s->v[slot];
}
inline uint32_t smon_hi(const smon_sample *s, int slot)
{
    return (uint32_t)(s->v[slot] >> 32);
}

constexpr const char *SMON_PROC_STAT = "/proc/stat";
constexpr const char *SMON_PROC_NET_DEV = "/proc/net/dev";
constexpr const char *SMON_TC_COMMAND = "/sbin/tc -s qdisc show dev tap0";
// Longest text taken from one source. The kernel files stay far below it
// even on large machines; what lies beyond is read and thrown away, so that
// a talkative command is never left blocked on its pipe.
constexpr size_t SMON_TEXT_MAX = 1 << 20;
// Tokens taken from an interface line: the name and the counters up to tx fifo.
constexpr int SMON_NETDEV_TOKENS = 15;
constexpr int SMON_NETDEV_NEEDED = 14;

// strtoull with the machine report's checks: -1 on overflow, on an error with
// result 0, when no digit was consumed, or for a negative number (which
// strtoull would wrap into a huge counter); else the value in *out and 0.
// end (may be null) gets where the conversion stopped.
int smon_strtoul_uint64(uint64_t *out, const char *text, char **end, int base);

// "/proc/stat" text: the cpu line into slots 4..11, page, swap, intr, ctxt,
// procs_running, procs_blocked, btime and processes. Keywords are looked for
// at the start of a line; a missing one leaves its slots 0.
void smon_parse_stat(smon_sample *s, const char *text);

// "/proc/net/dev" text: the eth0 and tap0 lines into slots 20..39. Gives the
// number of interfaces read. An eth0 line with fewer than 14 tokens stops the
// whole reading (tap0 is not read either); a missing eth0 leaves its slots 0
// and tap0 is still read; a tap0 line that is short is skipped. A counter
// that does not convert is logged and left 0.
int smon_parse_net_dev(smon_sample *s, const char *text);

// Output of the tc command: the numbers after "dropped" and "overlimits"
// into slots 40 and 41; a missing or unconvertible one is left 0 (the latter
// logged).
void smon_parse_tc(smon_sample *s, const char *text);

// The readers proper: read the source and parse it. A missing "/proc/stat" or
// "/proc/net/dev" is a broken system and aborts; a tc command that cannot
// run or prints nothing leaves its slots alone.
void smon_proc_stat(smon_sample *s);
void smon_proc_net_dev(smon_sample *s);
void smon_proc_sbin_tc(smon_sample *s);

// A whole sample: zeroed, uptime from sysinfo (0 when that fails), then the
// three readers.
void smon_capture(smon_sample *s);

// What the machine report carries, computed from two samples.
struct smon_report {
    long uptime;
    unsigned cpu_puse, cpu_psys, cpu_pidl, cpu_piow, cpu_pstl;
    unsigned running, blocked;
    uint64_t delta[SMON_DELTAS]; // slots 20..41
};

// The change of a counter: cur - prev, or cur itself when the counter went
// down (it restarted, e.g. the interface was recreated).
uint64_t smon_counter_delta(uint64_t prev, uint64_t cur);
// CPU shares in percent, rounded to nearest; all 0 when no time passed.
void smon_compute(const smon_sample *prev, const smon_sample *cur, smon_report *r);
// The report body: uptime, the five shares, running, blocked, then the 22
// counter deltas, every field name=value&.
void smon_format(struct vsb *body, const smon_report *r);
