// The three reports of the cron monitor, each a callout on one wheel: new
// core files ("/report/cmon.php"), which daemons of the node are alive
// ("/report/pmon.php") and machine counters ("/report/smon.php"). Each runs
// 5 seconds after start and then every 300 seconds, whatever happened, and
// is sent once: nothing is queued when the master cannot be reached.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>
#include <vector>

#include "velcrond_smon.h"

struct vsb;

constexpr const char *CMON_REPORT_PATH = "/report/cmon.php";
constexpr const char *PMON_REPORT_PATH = "/report/pmon.php";
constexpr const char *SMON_REPORT_PATH = "/report/smon.php";

// Wheel ticks (1/100 s): first run of each report, then its period.
constexpr long CRON_FIRST_TICKS = 500;
constexpr long CRON_PERIOD_TICKS = 30000;
// Seconds the main loop sleeps between runs of the wheel.
constexpr unsigned CRON_SLEEP = 5;
constexpr size_t CMON_PATH_MAX = 4096;
constexpr size_t CMON_HOSTNAME_MAX = 8192;

// One watched daemon of the process report.
struct cron_daemon {
    const char *name; // field name in the report
    std::string pidfile;
    bool extra; // outside this system: checked only with -m
    bool alive;
};
constexpr int CRON_NDAEMONS = 10;

struct cron_opts {
    bool cmon = true;         // -c turns the core report off
    bool pmon = true;         // -p the process report
    bool smon = true;         // -s the machine report
    bool check_extra = false; // -m
    bool alt = false;         // -S: the master's private address
};

// Seams for tests: how a report goes out (path, body, length; 0 or -1), how
// a machine sample is taken, and the wall clock the core scan goes by.
using cron_send_f = int (*)(const char *path, const char *body, ssize_t len);
using cron_capture_f = void (*)(smon_sample *s);
using cron_realtime_f = void (*)(struct timespec *ts);

// Set up the wheel and the three callouts, remember now as the last core
// scan, and schedule every enabled report CRON_FIRST_TICKS ahead.
void cron_init(const cron_opts &o);
// Drop the wheel and every piece of state (tests start afresh with it).
void cron_fini();
// Refresh the wheel clock and run what is due.
void cron_tick();
// The main loop: cron_tick, then sleep CRON_SLEEP seconds, forever.
[[noreturn]] void cron_loop();

// The callouts (argument unused).
void cron_cmon(void *arg);
void cron_pmon(void *arg);
void cron_smon(void *arg);

// The core-name rule: "core." followed only by decimal digits (maybe none).
bool cmon_corename(const char *name);
// Append dir+name and a comma to list when the name is a core name and the
// path (links followed) is a regular file modified since the last scan and
// before this one. Gives 1 when it was appended, else 0.
int cmon_checkname(struct vsb *list, const char *dir, const char *name);
// Send the core report for list (len bytes): mode, hostname, then the list
// without a trailing "&".
int cmon_report(const char *list, ssize_t len);

// The watched daemons, in report order (tests point their pid files elsewhere).
std::array<cron_daemon, CRON_NDAEMONS> &cron_daemons();
// The previous machine sample, or null before the first capture.
const smon_sample *cron_prev_sample();

void cron_set_sender(cron_send_f f);                   // null: the master server
void cron_set_capture(cron_capture_f f);               // null: smon_capture
void cron_set_realtime(cron_realtime_f f);             // null: CLOCK_REALTIME_COARSE
void cron_set_coredirs(std::vector<std::string> dirs); // empty: the node's
