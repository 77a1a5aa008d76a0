// The service table of the supervisor and its select loop.
//
// Every service owns a command pipe: an "L" written into it asks the loop to
// start the service. The signal handlers only write one byte ("H" reread,
// "C" collect children) into the signal pipe; all real work happens in the
// loop, outside signal context, with SIGCHLD and SIGHUP blocked around every
// change of the list and every fork.
#pragma once

#include <csignal>
#include <string>
#include <sys/select.h>
#include <sys/types.h>
#include <vector>

#include "velwatchdog_conf.h"

constexpr unsigned WAT_SERVICE_MAGIC = 0x57a75e41;
constexpr unsigned WAT_STATE_MAGIC = 0x57a75a7e;

// A child that ends within this many seconds of its start is started again
// only after the same pause, so that a program that cannot run does not turn
// the supervisor into a fork loop.
constexpr double WAT_PACE = 1.0;

struct wat_service {
    unsigned magic;
    int fds[2]; // command pipe: read end, write end; -1, -1 when not set up
    std::string name;
    std::string program;
    std::vector<std::string> args;
    pid_t pid;         // the running child, -1 when none
    bool seen;         // named by the latest reading of the file
    double started;    // monotonic time of the latest fork
    double hold_until; // monotonic time of a paced restart, 0 when none
    bool pace_logged;  // the pause was announced and the service has not run well since
    wat_service *next;
};

struct wat_state {
    unsigned magic;
    fd_set watched;
    int maxfd;
    int sigpipe[2];
    bool trace;
    std::string conf_path;
    // Dispositions before ours, given back to every child.
    struct sigaction old_chld, old_hup, old_pipe;
    wat_service *services; // newest first
    bool started;          // the loop runs: a bad file at a reread keeps what runs
    bool stopping;         // an ordered stop is under way: nothing is started again
};

// Ordered stop (SIGTERM, SIGINT): veld first, so that it writes its last
// usage round; then velumond, which files and reports it; then every other
// service together. Each group gets SIGTERM and its bound in seconds, then
// SIGKILL. Services are recognised by the file name of their program.
struct wat_stop_step {
    const char *program; // "veld", "velumond", or null for all the rest
    double bound;
};
constexpr wat_stop_step WAT_STOP_STEPS[] = {
    {"veld", 10.0},
    {"velumond", 20.0},
    {nullptr, 10.0},
};
// After SIGKILL, how long to wait for a child to be collected.
constexpr double WAT_KILL_WAIT = 5.0;

extern wat_state wat;

// Fresh state: empty list and watched set, no signal pipe.
void WAT_Init(bool trace, const char *conf_path);
// Forget every service (closing its pipe) and the signal pipe; for tests.
void WAT_Reset();

// The signal pipe, close-on-exec and watched. Exits 71 on failure.
void WAT_SignalPipe();
// SIGHUP, SIGCHLD, SIGTERM and SIGINT handlers; SIGPIPE ignored; the old
// dispositions kept.
void WAT_Signals();

void WAT_setup(wat_service *sp);
void WAT_enable(wat_service *sp);
void WAT_disable(wat_service *sp);
void WAT_spawn(wat_service *sp);
void WAT_reap();
void WAT_readconf();

// Stop every running service in the order of steps (n of them), then give
// back; logs each step. sig is the signal that asked for it.
void WAT_Stop(int sig, const wat_stop_step *steps, std::size_t n);

wat_service *WAT_Find(const char *name);
bool WAT_Watched(const wat_service *sp);

// One turn of the loop: wait (at most until the next paced restart is due),
// then handle the signal pipe and every service that asked for a start.
void WAT_Step();
[[noreturn]] void WAT_Loop();

// A line on standard error, prefixed "velwatchdog: ", when tracing.
void WAT_Trace(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Monotonic clock of the restart pacing; tests may replace it.
using wat_clock_f = double (*)();
void WAT_SetClock(wat_clock_f clk);
// fork(); tests may replace it to see a failing fork.
using wat_fork_f = pid_t (*)();
void WAT_SetFork(wat_fork_f fk);
