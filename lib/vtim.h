// Clocks as floating-point seconds, date formatting and date parsing. All
// conversions are in UTC and reentrant.
#pragma once

#include <cstddef>
#include <ctime>

// Capacity VTIM_print writes into: the caller's buffer must hold this many.
constexpr size_t VTIM_PRINT_SIZE = 30;
// Capacity VTIM_format writes into.
constexpr size_t VTIM_FORMAT_SIZE = 8192;

// CLOCK_MONOTONIC and CLOCK_REALTIME as seconds + 1e-9 * nanoseconds.
double VTIM_mono(void);
double VTIM_real(void);

// Format t (truncated to whole seconds, UTC) with strftime into buf, which
// must hold VTIM_PRINT_SIZE bytes. A result that does not fit, or a time that
// cannot be broken down, leaves buf empty.
void VTIM_print(char *buf, const char *fmt, double t);

// Parse an HTTP-style date text: RFC 1123 ("Sun, 06 Nov 1994 08:49:37 GMT"),
// RFC 850 ("Sunday, 06-Nov-94 08:49:37 GMT"), asctime ("Sun Nov  6 08:49:37
// 1994") or ISO ("1994-11-06 08:49:37"), all read as UTC. Text after a
// matching date is ignored. Gives seconds since the epoch, or 0 when no form
// matches.
double VTIM_scan(const char *text);

// Format t as "%a, %d %b %Y %T GMT" into buf, which must hold
// VTIM_FORMAT_SIZE bytes.
void VTIM_format(time_t t, char *buf);
