// Start-up pieces every daemon shares: usage text, option conventions, pid
// file, detaching and the system log. Each step is a call of its own so that
// daemons whose start-up differs can pick the steps they need, in their order.
#pragma once

#include <cstdio>
#include <span>
#include <string>
#include <syslog.h>

#include "vpf.h"

// One usage line: option with its argument ("-P file") and its description.
struct vdaemon_option {
    const char *option;
    const char *description;
};

// Print "usage: PROG [options]\n" and one "    %-28s # %s\n" line per option.
void VDAEMON_PrintUsage(std::FILE *fp, const char *prog, std::span<const vdaemon_option> options);
// The same on standard error, then exit status 1.
[[noreturn]] void VDAEMON_Usage(const char *prog, std::span<const vdaemon_option> options);
// One-line usage form: PROG followed by synopsis (e.g. " [-d] [-F] [-P pid]\n")
// on standard error, then exit status 1.
[[noreturn]] void VDAEMON_UsageLine(const char *prog, const char *synopsis);

// "Too many arguments (%s...)\n" on standard error with the first stray word;
// the caller prints its usage next.
void VDAEMON_TooMany(const char *first);
// "Only one of -d or -F can be specified\n" on standard error; usage follows.
void VDAEMON_OnlyOneDF();

// The options every daemon shares: -F and -S toggle on each use, -P replaces
// the default pid path "/var/run/PROG.pid".
struct vdaemon_opts {
    std::string pid_path;
    bool foreground = false;
    bool alt_endpoint = false;
};
// Defaults for program prog.
vdaemon_opts VDAEMON_Opts(const char *prog);
// Apply option letter ch (with optarg arg) if it is one of F, P, S; gives true
// when it was, false when the caller must handle it.
bool VDAEMON_StdOption(vdaemon_opts *opts, int ch, const char *arg);

// Open the pid file with mode 0644; on failure print the path and the system
// error (as perror does) and exit status 1. A second instance stops here.
vpf_file *VDAEMON_PidOpen(const char *path);
// Detach into the background, standard output and error kept open; with
// keep_cwd the working directory is kept (else it becomes "/"). Failure to
// detach is fatal. A pid file's lock passes to the detached process with
// the open file (see VPF_Open).
void VDAEMON_Detach(bool keep_cwd = false);
// Write the pid; on failure print "NOTE: Could not write PID file\n" on
// standard error and carry on. Gives VPF_Write's result.
int VDAEMON_PidWrite(vpf_file *pfh);
// openlog with the program's ident (must stay valid for the process's life).
void VDAEMON_OpenLog(const char *ident, int options = LOG_PID | LOG_PERROR,
                     int facility = LOG_USER);

// The usual sequence: pid file, detach unless in the foreground, pid written.
vpf_file *VDAEMON_Start(const char *pid_path, bool foreground);

// Command line and start-up of the small servers (velechod, velhttpd, velurd):
// option string "dFP:" (-d, repeatable, and -F, which toggles, keep the
// server in the foreground, but not both; -P replaces "/var/run/PROG.pid"),
// the one-line usage " [-d] [-F] [-P pid]" on any error, then the pid file,
// detaching and the system log. prog must stay valid for the process's life.
void VDAEMON_ServerStart(const char *prog, int argc, char **argv);
