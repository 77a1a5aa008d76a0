// The node's state in Prometheus' text exposition format, for the node
// exporter's textfile collector: one pure function of what velstatus has read
// (pid files, the daemons' status files, veld's latest usage round, velumond's
// last-committed time), so that every combination can be tried in a test.
// Totals only: per-client detail stays in velstatus -j.
#pragma once

#include <string>
#include <vector>

#include "velstatus_read.h"
#include "vstat.h"

struct prom_daemon {
    daemon_status st;
    bool reports = false; // a daemon that reports to the master
    bool file_ok = false; // its status file was read and parsed
    vstat_values file;    // valid when file_ok
    std::string file_why; // why not, when it has one
};

struct prom_input {
    double now = 0;      // wall clock, seconds
    std::string boot_id; // the running kernel's, as the status files carry it
    std::vector<prom_daemon> daemons;
    bool round_ok = false;
    usage_round round;
    bool committed_ok = false;
    double committed = 0;       // velumond's last-committed time
    long long daily_lines = -1; // records in today's daily file, -1 unknown
};

std::string status_prometheus(const prom_input &in);

// Escape a label value (backslash, double quote, newline).
std::string prom_label_value(std::string_view v);
