// What velstatus reads, as pure functions over texts and file images so that
// every damaged or half-written input can be tried without a running node:
// pid-file states, veld's usage records in a copy of its shared-memory file,
// and the latest usage round among them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// One daemon of the node as its pid file shows it.
enum class daemon_state {
    running,    // the pid is alive and the daemon holds its file's lock
    stale,      // the file names a pid that is gone
    foreign,    // the pid is alive, but nobody holds the file's lock: not the daemon
    no_pidfile, // no file
    unreadable, // a file whose content is not a pid, or cannot be read
};
const char *status_state_name(daemon_state s);

struct daemon_status {
    std::string name;
    std::string pidfile;
    daemon_state state = daemon_state::no_pidfile;
    pid_t pid = -1;     // when the file held one
    double uptime = -1; // seconds the process has run, -1 when unknown
    std::string detail; // why a file could not be read
};

// Seconds a process has run, from the text of /proc/PID/stat (its start time
// in clock ticks after boot), the system uptime in seconds and the tick rate;
// -1 when the text does not parse.
double status_proc_uptime(std::string_view proc_stat, double system_uptime, long ticks);

// One usage record of veld ("TrafficUsage"), K or U.
struct usage_record {
    std::string stamp; // the printed time stamp
    double real = 0;   // wall-clock seconds of the round
    std::string host, port, mac;
    char type = 'K';
    std::string addr; // remote address, "-" for U
    long long in = 0, out = 0;
};
// Parse one record text; false when it is not a complete usage record.
bool status_parse_usage(std::string_view text, usage_record *r);

// The records of a shared-memory file image (a copy taken with read(), so a
// file being rewritten meanwhile gives a short or odd image, never a fault).
// Gives the usage records from the start of the log ring up to its newest
// record, in order; on a damaged or foreign image, false with *why set.
bool status_log_records(const uint8_t *img, size_t len, std::vector<usage_record> *out,
                        std::string *why);

// A client of the latest round: transport bytes from its own K record, and
// how many remote addresses (and other traffic) the round counted for it.
struct client_usage {
    std::string host, port, mac;
    long long in = 0, out = 0;
    int remote_addresses = 0;
    bool other_traffic = false;
};
struct usage_round {
    std::string stamp;
    double real = 0;
    std::vector<client_usage> clients; // in first-appearance order
};
// The round with the latest time among recs; false when there is none.
bool status_latest_round(const std::vector<usage_record> &recs, usage_round *round);

// The text of a JSON string literal for s (quotes included).
std::string status_json_string(std::string_view s);
