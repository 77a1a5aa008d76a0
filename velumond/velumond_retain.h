// Retention of the daily usage files: a file is removed once it is older than
// the days velumond keeps (-R, today included) and every record in it has
// been reported to the master, which is known when the delivered position
// (t_delivered) names a later day's file. Without a delivered position,
// nothing is removed. A thread of its own looks once an hour.
#pragma once

#include <string>
#include <string_view>
#include <vector>

constexpr int RETAIN_DEFAULT_DAYS = 31;
constexpr int RETAIN_MAX_DAYS = 36500;
constexpr unsigned RETAIN_PERIOD = 3600; // seconds between two passes
// A file written to within this many seconds is never removed, whatever its
// name says (a wall clock stepped back writes into an old day's file).
constexpr double RETAIN_QUIET = 86400;
constexpr const char *RETAIN_DIR = "/var/velkarn-server";

// -R's value: a whole number of days, 0 (keep every file) to RETAIN_MAX_DAYS.
// 0, or -1 when the text is anything else.
int retain_parse_days(const char *text, int *days);

// The day of a daily file's base name "stat_YYYYMMDD.log" as the number
// YYYYMMDD, or -1 for any other name.
int retain_file_day(std::string_view name);

// The base names among names to remove: daily files dated before the first
// day kept (today, as YYYYMMDD, and the days - 1 before it) and before
// delivered_day, the day of the file the delivered position names (-1: none
// known, nothing is removed). days 0 keeps everything.
std::vector<std::string> retain_select(const std::vector<std::string> &names, int delivered_day,
                                       int today, int days);

// One pass over dir with the delivered position stored at delivered_path and
// the wall clock now: removes what retain_select picks (and is not written to
// lately), logs each file removed, and once per file each one kept past the
// period because it is not reported yet. The number of files removed.
int retain_pass(const char *dir, const char *delivered_path, double now, int days);

// Start the thread that runs a pass now and then every RETAIN_PERIOD seconds
// (nothing with days 0).
void retain_start(int days);
