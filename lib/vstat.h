// Status files: what a daemon knows about itself and an outside reader
// (velstatus) cannot see, such as how its reports to the master went or how
// many records it has filed. Each daemon keeps a few named values in memory
// and now and then replaces its file
//
//     /var/velkarn-server/status/PROG
//
// as a whole (written under a temporary name, then renamed over the old one),
// so a reader never sees half a file. The daemon's busy paths only bump
// values in memory; the file is written at most every VSTAT_INTERVAL seconds
// (VSTAT_Publish), or at once for rare events such as a report.
//
// The file is text, one "name value" line each:
//     pid 1234                    the writer
//     boot_id 5c1f...             the kernel's boot id (hex digits only)
//     starts 3                    its starts since boot (this one included)
//     start_time 1765212345.120   wall clock of this start
//     updated 1765212399.004      wall clock of this write
//     report_ok_total 12          ... and the daemon's own values
// Names are lower case letters, digits and '_'; values are decimal numbers.
//
// Until VSTAT_Init has run, every call is a no-op, so library code (the
// report client) can publish for whichever program it runs in, and programs
// that never publish (velinit, the tests) write nothing.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

constexpr const char *VSTAT_DIR = "/var/velkarn-server/status";
constexpr double VSTAT_INTERVAL = 2.0; // seconds between two writes at most
constexpr size_t VSTAT_FILE_MAX = 65536;

// Start publishing as prog (a plain name: letters, digits, '_' and '-').
// Reads the previous file of prog to count the starts since boot, then writes
// the first file. 0, or -1 with errno (bad name, directory or file not
// writable); the failure is logged once and publishing stays off. Calling it
// again for the same prog changes nothing.
int VSTAT_Init(const char *prog);
// Whether VSTAT_Init succeeded.
bool VSTAT_Active();

// Values. A counter only grows (Add); a gauge is set. Names as above.
void VSTAT_Add(const char *name, uint64_t n = 1);
void VSTAT_Set(const char *name, double v);

// Called just before each write (on the thread that writes), so a daemon
// can copy in values it keeps elsewhere, such as veld's counters and its
// session table, with VSTAT_Set.
using vstat_gather_f = void (*)();
void VSTAT_Gatherer(vstat_gather_f fn);

// Write the file if VSTAT_INTERVAL has passed since the last write, or now
// with force. Cheap when it is not yet time: one read of a coarse clock.
void VSTAT_Publish(bool force = false);

// The report client's hook: one exchange with the master ended, ok or not.
// Counts it (report_ok_total, report_failed_total), stamps the time
// (report_last_ok_time, report_last_failed_time) and writes the file at once.
// The two times are taken over by the next start of the daemon; the counts
// start again from 0.
void VSTAT_Report(bool ok);

// The text of a status file for prog's values (used by the writer; exposed
// for the tests).
struct vstat_values {
    long pid = 0;
    std::string boot_id;
    uint64_t starts = 0;
    double start_time = 0;
    double updated = 0;
    std::map<std::string, double> values; // the daemon's own, by name
};
std::string VSTAT_Format(const vstat_values &v);
// Parse a status file's text. false, with *why, when a line is not "name
// value" with a valid name and number or a header line is missing; a reader
// then treats the whole file as unreadable.
bool VSTAT_Parse(std::string_view text, vstat_values *v, std::string *why);
bool VSTAT_ValidName(std::string_view name);
// The running kernel's boot id as the files carry it (its hex digits), or
// "" when it cannot be read.
std::string VSTAT_BootId();

// Tests: forget every value and the program name; dir replaces VSTAT_DIR
// for the next VSTAT_Init (null: the default).
void VSTAT_Reset(const char *dir = nullptr);
