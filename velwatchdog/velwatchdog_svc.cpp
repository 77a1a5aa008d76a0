#include "velwatchdog_svc.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <iterator>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include "vas.h"
#include "vlog.h"
#include "vtim.h"

wat_state wat;

namespace
{
// Exit statuses of the supervisor (sysexits values).
constexpr int EX_DATAERR_ = 65; // configuration syntax error
constexpr int EX_OSERR_ = 71;   // allocation or signal-pipe failure

wat_clock_f wat_clock = VTIM_mono;
wat_fork_f wat_fork = fork;

// SIGCHLD and SIGHUP (and the stop signals) blocked while the list changes
// or a child is forked.
void block_signals(sigset_t *old)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    AZ(sigprocmask(SIG_BLOCK, &set, old));
}

void restore_signals(const sigset_t *old)
{
    AZ(sigprocmask(SIG_SETMASK, old, nullptr));
}

void unblock_all()
{
    sigset_t none;
    sigemptyset(&none);
    AZ(sigprocmask(SIG_SETMASK, &none, nullptr));
}

void wat_sighandler(int sig)
{
    int e = errno;
    char c = sig == SIGHUP ? 'H' : sig == SIGTERM ? 'T' : sig == SIGINT ? 'I' : 'C';
    if (write(wat.sigpipe[1], &c, 1) != 1) {
        syslog(LOG_ERR, "[ERROR] write: %m");
        _exit(EX_OSERR_);
    }
    errno = e;
}

// Restart sp once its pause ends, instead of at the next loop turn.
void hold(wat_service *sp, double until)
{
    sp->hold_until = until;
}

// Start every held service whose pause is over.
void release_due()
{
    if (wat.stopping)
        return;
    double now = wat_clock();
    for (wat_service *sp = wat.services; sp != nullptr; sp = sp->next) {
        CHECK_OBJ(sp, WAT_SERVICE_MAGIC);
        if (sp->hold_until > 0 && now >= sp->hold_until) {
            sp->hold_until = 0;
            WAT_enable(sp);
        }
    }
}

double next_due()
{
    double due = 0;
    for (wat_service *sp = wat.services; sp != nullptr; sp = sp->next)
        if (sp->hold_until > 0 && (due == 0 || sp->hold_until < due))
            due = sp->hold_until;
    return due;
}

void free_service(wat_service *sp)
{
    CHECK_OBJ_NOTNULL(sp, WAT_SERVICE_MAGIC);
    if (sp->fds[0] >= 0) {
        if (WAT_Watched(sp))
            WAT_disable(sp);
        (void)close(sp->fds[0]);
        (void)close(sp->fds[1]);
        sp->fds[0] = sp->fds[1] = -1;
    }
    sp->magic = 0;
    delete sp;
}

void handle_signal_pipe()
{
    int avail = 0;
    if (ioctl(wat.sigpipe[0], FIONREAD, &avail) < 0) {
        VLOG("[ERROR] ioctl: %m");
        std::exit(EX_OSERR_);
    }
    for (int i = 0; i < avail; i++) {
        char c;
        if (read(wat.sigpipe[0], &c, 1) != 1) {
            VLOG("[ERROR] read: %m");
            std::exit(EX_OSERR_);
        }
        WAT_Trace("handling signal flag %c", c);
        if (c == 'C')
            WAT_reap();
        else if (c == 'H')
            WAT_readconf();
        else if (c == 'T' || c == 'I') {
            WAT_Stop(c == 'T' ? SIGTERM : SIGINT, WAT_STOP_STEPS, std::size(WAT_STOP_STEPS));
            std::exit(0);
        }
    }
}

const char *base_name(const std::string &path)
{
    std::size_t slash = path.rfind('/');
    return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

// Whether sp belongs to step i of steps: its program, or none of the named
// programs for the step without one.
bool in_step(const wat_service *sp, const wat_stop_step *steps, std::size_t n, std::size_t i)
{
    const char *prog = base_name(sp->program);
    if (steps[i].program != nullptr)
        return std::strcmp(prog, steps[i].program) == 0;
    for (std::size_t j = 0; j < n; j++)
        if (steps[j].program != nullptr && std::strcmp(prog, steps[j].program) == 0)
            return false;
    return true;
}

bool step_running(const wat_stop_step *steps, std::size_t n, std::size_t i)
{
    for (wat_service *sp = wat.services; sp != nullptr; sp = sp->next)
        if (sp->pid > 0 && in_step(sp, steps, n, i))
            return true;
    return false;
}

// Collect children until none of step i runs or the clock reaches until.
bool wait_step(const wat_stop_step *steps, std::size_t n, std::size_t i, double until)
{
    for (;;) {
        WAT_reap();
        if (!step_running(steps, n, i))
            return true;
        if (VTIM_mono() >= until)
            return false;
        (void)usleep(20000);
    }
}
} // namespace

void WAT_Trace(const char *fmt, ...)
{
    if (!wat.trace)
        return;
    char buf[8192];
    int n = std::snprintf(buf, sizeof buf, "velwatchdog: ");
    va_list ap;
    va_start(ap, fmt);
    int m = std::vsnprintf(buf + n, sizeof buf - n - 1, fmt, ap);
    va_end(ap);
    if (m < 0)
        m = 0;
    std::size_t len = std::min<std::size_t>(n + m, sizeof buf - 2);
    buf[len++] = '\n';
    // One write, so that lines of the supervisor and its children do not mix.
    (void)!write(STDERR_FILENO, buf, len);
}

void WAT_SetClock(wat_clock_f clk)
{
    wat_clock = clk != nullptr ? clk : VTIM_mono;
}

void WAT_SetFork(wat_fork_f fk)
{
    wat_fork = fk != nullptr ? fk : fork;
}

void WAT_Init(bool trace, const char *conf_path)
{
    wat.magic = WAT_STATE_MAGIC;
    FD_ZERO(&wat.watched);
    wat.maxfd = -1;
    wat.sigpipe[0] = wat.sigpipe[1] = -1;
    wat.trace = trace;
    wat.conf_path = conf_path != nullptr ? conf_path : WAT_CONF_PATH;
    std::memset(&wat.old_chld, 0, sizeof wat.old_chld);
    std::memset(&wat.old_hup, 0, sizeof wat.old_hup);
    std::memset(&wat.old_pipe, 0, sizeof wat.old_pipe);
    wat.old_chld.sa_handler = SIG_DFL;
    wat.old_hup.sa_handler = SIG_DFL;
    wat.old_pipe.sa_handler = SIG_DFL;
    wat.services = nullptr;
    wat.started = false;
    wat.stopping = false;
}

void WAT_Reset()
{
    while (wat.services != nullptr) {
        wat_service *sp = wat.services;
        wat.services = sp->next;
        free_service(sp);
    }
    for (int &fd : wat.sigpipe)
        if (fd >= 0) {
            (void)close(fd);
            fd = -1;
        }
    WAT_Init(wat.trace, wat.conf_path.c_str());
}

void WAT_SignalPipe()
{
    CHECK_OBJ(&wat, WAT_STATE_MAGIC);
    if (pipe(wat.sigpipe) != 0) {
        VLOG("[ERROR] pipe: %m");
        std::exit(EX_OSERR_);
    }
    if (fcntl(wat.sigpipe[0], F_SETFD, FD_CLOEXEC) < 0 ||
        fcntl(wat.sigpipe[1], F_SETFD, FD_CLOEXEC) < 0) {
        VLOG("[ERROR] signalpipe: fcntl (F_SETFD, FD_CLOEXEC): %m");
        std::exit(EX_OSERR_);
    }
    VAS_ASSERT(wat.sigpipe[0] < FD_SETSIZE);
    FD_SET(wat.sigpipe[0], &wat.watched);
    if (wat.sigpipe[0] > wat.maxfd)
        wat.maxfd = wat.sigpipe[0];
}

void WAT_Signals()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = wat_sighandler;
    sigemptyset(&sa.sa_mask);
    sigaddset(&sa.sa_mask, SIGHUP);
    sigaddset(&sa.sa_mask, SIGCHLD);
    sa.sa_flags = 0; // no SA_RESTART: select must see the interruption
    AZ(sigaction(SIGHUP, &sa, &wat.old_hup));
    AZ(sigaction(SIGCHLD, &sa, &wat.old_chld));
    sigaddset(&sa.sa_mask, SIGTERM);
    sigaddset(&sa.sa_mask, SIGINT);
    AZ(sigaction(SIGTERM, &sa, nullptr));
    AZ(sigaction(SIGINT, &sa, nullptr));
    struct sigaction ign;
    std::memset(&ign, 0, sizeof ign);
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    AZ(sigaction(SIGPIPE, &ign, &wat.old_pipe));
}

bool WAT_Watched(const wat_service *sp)
{
    return sp->fds[0] >= 0 && FD_ISSET(sp->fds[0], &wat.watched);
}

wat_service *WAT_Find(const char *name)
{
    for (wat_service *sp = wat.services; sp != nullptr; sp = sp->next) {
        CHECK_OBJ(sp, WAT_SERVICE_MAGIC);
        if (sp->name == name)
            return sp;
    }
    return nullptr;
}

void WAT_setup(wat_service *sp)
{
    CHECK_OBJ_NOTNULL(sp, WAT_SERVICE_MAGIC);
    // Close-on-exec: the children have no business with our command pipes.
    VAS_ASSERT_TEXT(pipe2(sp->fds, O_CLOEXEC) == 0, "pipe(sp->fd) == 0");
    VAS_ASSERT(sp->fds[0] < FD_SETSIZE && sp->fds[1] < FD_SETSIZE);
    WAT_Trace("registered %s on fd[0] %d fd[1] %d", sp->name.c_str(), sp->fds[0], sp->fds[1]);
    WAT_enable(sp);
}

void WAT_enable(wat_service *sp)
{
    CHECK_OBJ_NOTNULL(sp, WAT_SERVICE_MAGIC);
    VAS_ASSERT_TEXT(write(sp->fds[1], "L", 1) == 1, "write(sp->fd[1], \"L\", 1) == 1");
    FD_SET(sp->fds[0], &wat.watched);
    if (sp->fds[0] > wat.maxfd)
        wat.maxfd = sp->fds[0];
    WAT_Trace("enabling %s, fd[0] %d fd[1] %d", sp->name.c_str(), sp->fds[0], sp->fds[1]);
}

void WAT_disable(wat_service *sp)
{
    CHECK_OBJ_NOTNULL(sp, WAT_SERVICE_MAGIC);
    FD_CLR(sp->fds[0], &wat.watched);
    // Every other watched descriptor is below this one, so one less is
    // still at least as high as any of them.
    if (sp->fds[0] == wat.maxfd)
        wat.maxfd--;
    WAT_Trace("disabling %s, fd[0] %d fd[1] %d", sp->name.c_str(), sp->fds[0], sp->fds[1]);
}

void WAT_spawn(wat_service *sp)
{
    CHECK_OBJ_NOTNULL(sp, WAT_SERVICE_MAGIC);
    // The argument vector is built before the fork: the child only execs.
    std::vector<char *> argv;
    argv.reserve(sp->args.size() + 1);
    for (auto &a : sp->args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    sigset_t old;
    block_signals(&old);
    pid_t pid = wat_fork();
    if (pid < 0) {
        VLOG("[ERROR] fork: %m");
        unblock_all();
        // Try again after a pause instead of losing the service for good.
        hold(sp, wat_clock() + WAT_PACE);
        return;
    }
    if (pid == 0) {
        (void)sigaction(SIGCHLD, &wat.old_chld, nullptr);
        (void)sigaction(SIGHUP, &wat.old_hup, nullptr);
        // A stop signal before the exec is the child's, not the supervisor's.
        (void)signal(SIGTERM, SIG_DFL);
        (void)signal(SIGINT, SIG_DFL);
        unblock_all();
        WAT_Trace("%d execl %s", static_cast<int>(getpid()), sp->program.c_str());
        (void)dup2(STDIN_FILENO, STDOUT_FILENO);
        (void)dup2(STDIN_FILENO, STDERR_FILENO);
        (void)sigaction(SIGPIPE, &wat.old_pipe, nullptr);
        execv(sp->program.c_str(), argv.data());
        VLOG("[ERROR] cannot execute %s: %m", sp->program.c_str());
        _exit(0);
    }
    sp->pid = pid;
    sp->started = wat_clock();
    unblock_all();
}

void WAT_reap()
{
    for (;;) {
        int status;
        pid_t pid = waitpid(-1, &status, WNOHANG);
        if (pid <= 0)
            break;
        bool exited = WIFEXITED(status);
        const char *how = exited ? "status" : "signal";
        unsigned code = exited ? WEXITSTATUS(status) : WTERMSIG(status);
        WAT_Trace("%d reaped, %s %u", static_cast<int>(pid), how, code);

        wat_service *sp = wat.services;
        while (sp != nullptr && sp->pid != pid)
            sp = sp->next;
        if (sp == nullptr)
            continue; // a child of a service that is gone
        CHECK_OBJ(sp, WAT_SERVICE_MAGIC);
        sp->pid = -1;
        if (wat.stopping) {
            // Expected now: no restart, and no error for the stop signal.
            VLOG("[INFO] %s[%d]: exited, %s %u", sp->name.c_str(), static_cast<int>(pid), how,
                 code);
            continue;
        }
        double now = wat_clock();
        bool quick = now - sp->started < WAT_PACE;
        if (!quick) {
            sp->pace_logged = false;
            WAT_enable(sp);
        }
        if (!exited || code != 0)
            VLOG_At(LOG_ERR, "[ERROR] %s[%d]: exited, %s %u", sp->name.c_str(),
                    static_cast<int>(pid), how, code);
        if (quick) {
            if (!sp->pace_logged) {
                VLOG("[WARN] %s: ended within 1 s of its start, restarting it at most once a "
                     "second",
                     sp->name.c_str());
                sp->pace_logged = true;
            }
            hold(sp, now + WAT_PACE);
        }
    }
}

void WAT_readconf()
{
    CHECK_OBJ(&wat, WAT_STATE_MAGIC);
    if (wat.stopping)
        return;
    std::FILE *fp = std::fopen(wat.conf_path.c_str(), "r");
    if (fp == nullptr) {
        VLOG("[ERROR] %s: %m", wat.conf_path.c_str());
        return;
    }
    struct stat st;
    if (fstat(fileno(fp), &st) == 0 && !S_ISREG(st.st_mode)) {
        std::fclose(fp);
        VLOG("[ERROR] %s: not a regular file; the running configuration stays in force",
             wat.conf_path.c_str());
        return;
    }

    // The whole file is read before anything changes: a file that does not
    // parse leaves every service as it is.
    wat_conf_reader rd;
    WAT_ConfInit(&rd, fp, wat.conf_path.c_str());
    std::vector<wat_conf_entry> entries;
    wat_conf_entry e;
    int r;
    while ((r = WAT_ConfNext(&rd, &e)) == 1)
        entries.push_back(std::move(e));
    int rerr = std::ferror(fp) ? errno : 0;
    std::fclose(fp);
    if (r < 0) {
        if (!wat.started)
            std::exit(EX_DATAERR_);
        VLOG("[ERROR] %s line %u: syntax error, a service name without a program; the running "
             "configuration stays in force",
             wat.conf_path.c_str(), rd.entry_line);
        return;
    }
    if (rerr != 0) {
        VLOG("[ERROR] %s: read error: %s; the running configuration stays in force",
             wat.conf_path.c_str(), std::strerror(rerr));
        return;
    }

    for (wat_service *sp = wat.services; sp != nullptr; sp = sp->next)
        sp->seen = false;
    sigset_t old;
    for (wat_conf_entry &ent : entries) {
        e = std::move(ent);
        wat_service *sp = WAT_Find(e.name.c_str());
        if (sp != nullptr) {
            block_signals(&old);
            // A running child keeps its command line; the new one applies
            // when reap starts it again. A start that is still queued (no
            // child) stays queued and uses the new command line.
            if (sp->fds[0] >= 0 && WAT_Watched(sp) && sp->pid != -1)
                WAT_disable(sp);
            sp->program = std::move(e.program);
            sp->args = std::move(e.args);
            restore_signals(&old);
            WAT_Trace("%s: %s server=%s\n", "REDO", sp->name.c_str(), sp->program.c_str());
        } else {
            sp = new (std::nothrow) wat_service{};
            if (sp == nullptr) {
                VLOG("[ERROR] malloc: %m");
                std::exit(EX_OSERR_);
            }
            sp->magic = WAT_SERVICE_MAGIC;
            sp->fds[0] = sp->fds[1] = -1;
            sp->pid = -1;
            sp->name = std::move(e.name);
            sp->program = std::move(e.program);
            sp->args = std::move(e.args);
            block_signals(&old);
            sp->next = wat.services;
            wat.services = sp;
            restore_signals(&old);
            WAT_Trace("%s: %s server=%s\n", "ADD ", sp->name.c_str(), sp->program.c_str());
        }
        sp->seen = true;
        if (sp->fds[0] < 0)
            WAT_setup(sp);
    }

    block_signals(&old);
    for (wat_service **pp = &wat.services; *pp != nullptr;) {
        wat_service *sp = *pp;
        CHECK_OBJ(sp, WAT_SERVICE_MAGIC);
        if (sp->seen) {
            pp = &sp->next;
            continue;
        }
        *pp = sp->next;
        WAT_Trace("%s: %s server=%s\n", "FREE", sp->name.c_str(), sp->program.c_str());
        free_service(sp);
    }
    restore_signals(&old);
}

void WAT_Stop(int sig, const wat_stop_step *steps, std::size_t n)
{
    CHECK_OBJ(&wat, WAT_STATE_MAGIC);
    wat.stopping = true;
    VLOG("[INFO] %s: stopping every service in order (veld, velumond, then the rest)",
         strsignal(sig));
    for (std::size_t i = 0; i < n; i++) {
        const char *what = steps[i].program != nullptr ? steps[i].program : "the other services";
        WAT_reap();
        if (!step_running(steps, n, i))
            continue;
        for (wat_service *sp = wat.services; sp != nullptr; sp = sp->next)
            if (sp->pid > 0 && in_step(sp, steps, n, i)) {
                VLOG("[INFO] Stopping %s[%d]", sp->name.c_str(), static_cast<int>(sp->pid));
                (void)kill(sp->pid, SIGTERM);
            }
        if (wait_step(steps, n, i, VTIM_mono() + steps[i].bound))
            continue;
        for (wat_service *sp = wat.services; sp != nullptr; sp = sp->next)
            if (sp->pid > 0 && in_step(sp, steps, n, i)) {
                VLOG("[WARN] %s[%d] did not end within %.0f s of SIGTERM; killing it",
                     sp->name.c_str(), static_cast<int>(sp->pid), steps[i].bound);
                (void)kill(sp->pid, SIGKILL);
            }
        if (!wait_step(steps, n, i, VTIM_mono() + WAT_KILL_WAIT))
            VLOG("[ERROR] %s: still running after SIGKILL", what);
    }
    VLOG("[INFO] Every service is stopped; exiting");
}

void WAT_Step()
{
    CHECK_OBJ(&wat, WAT_STATE_MAGIC);
    fd_set rd = wat.watched;
    struct timeval tv, *tvp = nullptr;
    double due = next_due();
    if (due > 0) {
        double left = due - wat_clock();
        if (left < 0)
            left = 0;
        tv.tv_sec = static_cast<time_t>(left);
        tv.tv_usec = static_cast<suseconds_t>((left - static_cast<double>(tv.tv_sec)) * 1e6);
        tvp = &tv;
    }
    int n = select(wat.maxfd + 1, &rd, nullptr, nullptr, tvp);
    if (n < 0) {
        if (errno == EINTR)
            return;
        VLOG("[WARN] select: %m");
        sleep(1);
        return;
    }
    release_due();
    if (wat.sigpipe[0] >= 0 && FD_ISSET(wat.sigpipe[0], &rd)) {
        n--;
        handle_signal_pipe();
    }
    for (wat_service *sp = wat.services; sp != nullptr && n > 0; sp = sp->next) {
        CHECK_OBJ(sp, WAT_SERVICE_MAGIC);
        if (sp->fds[0] < 0 || !FD_ISSET(sp->fds[0], &rd))
            continue;
        n--;
        // A reread in this turn may have stopped watching it: no byte then.
        if (!WAT_Watched(sp))
            continue;
        WAT_Trace("someone wants %s", sp->name.c_str());
        char c;
        VAS_ASSERT_TEXT(read(sp->fds[0], &c, 1) == 1, "read(sp->fd[0], &c, 1) == 1");
        if (c == 'L')
            WAT_spawn(sp);
        else
            std::fprintf(stderr, "Unknown command\n");
    }
}

void WAT_Loop()
{
    wat.started = true;
    for (;;)
        WAT_Step();
}
