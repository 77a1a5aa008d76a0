// veld: the node's tunnel daemon. Options, start-up, and the select() loop
// that drives every transport, the TAP device and the timers.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vas.h"
#include "vdaemon.h"
#include "veld_dgram.h"
#include "veld_sess.h"
#include "veld_shmlog.h"
#include "veld_stat.h"
#include "veld_status.h"
#include "veld_state.h"
#include "veld_tap.h"
#include "veld_tcp.h"
#include "vlog.h"

namespace
{
constexpr const char *VELD_WORKDIR = "/var/velkarn-server/veld/";
constexpr const char *VELD_PIDFILE = "/var/run/veld.pid";
constexpr int VELD_SESS_ELEMENTS = 512;
// Send and receive buffers of the UDP and the ICMP socket.
constexpr int VELD_DGRAM_BUFSIZE = 1048576;
constexpr int VELD_TCP_BACKLOG = 1024;
constexpr int VELD_SELECT_TIMEOUT = 10;
// Only echo requests (type 8) pass the raw socket's filter.
constexpr uint32_t VELD_ICMP_FILTER = 0xfffffeff;

constexpr vdaemon_option veld_options[] = {
    {"-c seconds", "Interval to cleanup the sessions"},
    {"-d", "debug"},
    {"-F", "Run in foreground"},
    {"-i seconds", "Interval to emit usages"},
    {"-l shl,free,fill", "Size of shared memory file"},
    {"-P file", "PID file"},
};

[[noreturn]] void veld_usage()
{
    VDAEMON_Usage("veld", veld_options);
}

[[noreturn]] void die(const char *call)
{
    std::perror(call);
    std::exit(1);
}

struct sockaddr_in any_addr(uint16_t port)
{
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(port);
    return sin;
}

void set_buffers(int fd)
{
    int bufsz = VELD_DGRAM_BUFSIZE;
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bufsz, sizeof bufsz) < 0)
        die("setsockopt");
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufsz, sizeof bufsz) < 0)
        die("setsockopt");
}

void open_sockets()
{
    veld.icmp_fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (veld.icmp_fd < 0)
        die("socket");
    struct icmp_filter filt;
    filt.data = VELD_ICMP_FILTER;
    if (setsockopt(veld.icmp_fd, SOL_RAW, ICMP_FILTER, &filt, sizeof filt) < 0)
        die("setsockopt");
    // Tunnel traffic arrives in bursts on this socket as on the UDP one.
    set_buffers(veld.icmp_fd);

    veld.udp_fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (veld.udp_fd < 0)
        die("socket");
    struct sockaddr_in sin = any_addr(VELD_PORT);
    if (bind(veld.udp_fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) < 0)
        die("bind");
    set_buffers(veld.udp_fd);

    veld.tcp_fd = socket(AF_INET, SOCK_STREAM, 0);
    if (veld.tcp_fd < 0)
        die("socket");
    int on = 1;
    if (setsockopt(veld.tcp_fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
        die("setsockopt");
    if (bind(veld.tcp_fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) < 0)
        die("bind");
    if (listen(veld.tcp_fd, VELD_TCP_BACKLOG) < 0)
        die("listen");
}

void ignore_signals()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_IGN;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    int ret = sigaction(SIGPIPE, &sa, nullptr);
    VAS_ASSERT_TEXT(ret == 0, "ret == 0");
    ret = sigaction(SIGHUP, &sa, nullptr);
    VAS_ASSERT_TEXT(ret == 0, "ret == 0");
}

// SIGTERM and SIGINT end veld in order: the handler only notes the signal,
// and the loop, which waits with both unblocked and runs with both blocked,
// leaves after a whole turn, so every frame it took is counted.
volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig)
{
    stop_signal = sig;
}

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// Blocked from the start, so that a signal during start-up waits for the
// loop instead of killing veld with its sockets half open.
void block_stop_signals()
{
    sigset_t set = stop_signals();
    AZ(sigprocmask(SIG_BLOCK, &set, nullptr));
}

void catch_stop_signals()
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    int ret = sigaction(SIGTERM, &sa, nullptr);
    VAS_ASSERT_TEXT(ret == 0, "ret == 0");
    ret = sigaction(SIGINT, &sa, nullptr);
    VAS_ASSERT_TEXT(ret == 0, "ret == 0");
}

// Nothing more is read from clients or the TAP device: write every session's
// counters as one last usage round, release the pid file and exit 0. A
// second signal meanwhile ends veld at once.
[[noreturn]] void veld_stop(vpf_file *pfh)
{
    int sig = stop_signal;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    (void)sigaction(SIGTERM, &sa, nullptr);
    (void)sigaction(SIGINT, &sa, nullptr);
    sigset_t set = stop_signals();
    (void)sigprocmask(SIG_UNBLOCK, &set, nullptr);

    if (shm.VSM_head == nullptr) {
        VLOG("[ERROR] %s: no shared-memory log, the last usage round cannot be written",
             strsignal(sig));
        (void)VPF_Delete(pfh);
        std::exit(1);
    }
    // Due by the interval or not, every counted peer is written now, whole:
    // a round in progress is finished first.
    stat_emit_now();
    VLOG("[INFO] %s: stopped reading, the last usage round is written; exiting", strsignal(sig));
    if (pfh != nullptr && VPF_Delete(pfh) != 0)
        VLOG("[WARN] Could not remove the PID file: %d %s", errno, std::strerror(errno));
    std::exit(0);
}

void fd_add(int fd, fd_set *set, int *maxfd)
{
    FD_SET(fd, set);
    if (fd > *maxfd)
        *maxfd = fd;
}

[[noreturn]] void veld_loop(vpf_file *pfh)
{
    fd_set rset, wset;
    int maxfd = 0;
    sigset_t waitmask;
    AZ(sigprocmask(SIG_SETMASK, nullptr, &waitmask));
    sigdelset(&waitmask, SIGTERM);
    sigdelset(&waitmask, SIGINT);

    // Sends to clients queue up while the frames of a turn are handled and
    // leave together at its end (or whenever a queue fills).
    dgram_batching(true);
    for (;;) {
        if (stop_signal != 0)
            veld_stop(pfh);
        stat_emit();
        sess_cleanup();
        tcp_expire_idle();
        veld_status_tick();

        FD_ZERO(&rset);
        FD_ZERO(&wset);
        VAS_ASSERT_TEXT(veld.icmp_fd < 1024, "icmp_fd < 1024");
        fd_add(veld.icmp_fd, &rset, &maxfd);
        VAS_ASSERT_TEXT(veld.udp_fd < 1024, "udp_fd < 1024");
        fd_add(veld.udp_fd, &rset, &maxfd);
        VAS_ASSERT_TEXT(veld.tap_fd < 1024, "tap_fd < 1024");
        fd_add(veld.tap_fd, &rset, &maxfd);
        VAS_ASSERT_TEXT(veld.tcp_fd < 1024, "tcp_fd < 1024");
        // Short of descriptors, the listening socket rests for a moment.
        double accept_wait = tcp_accept_wait();
        if (accept_wait == 0)
            fd_add(veld.tcp_fd, &rset, &maxfd);
        for (tcpconn *tc = tcpst.tcplist; tc != nullptr; tc = tc->next) {
            CHECK_OBJ(tc, 0x29710467);
            if (tc->flags & TC_DEAD)
                continue;
            VAS_ASSERT_TEXT(tc->fd < 1024, "tc->fd < 1024");
            if (tc->want & TC_WANT_READ)
                fd_add(tc->fd, &rset, &maxfd);
            if (tc->want & TC_WANT_WRITE)
                fd_add(tc->fd, &wset, &maxfd);
        }

        struct timeval tv = {VELD_SELECT_TIMEOUT, 0};
        // A usage round in progress writes its next slice in the next turn.
        if (stat_round_active())
            tv.tv_sec = 0;
        else if (accept_wait > 0) {
            tv.tv_sec = static_cast<time_t>(accept_wait);
            tv.tv_usec = static_cast<suseconds_t>((accept_wait - tv.tv_sec) * 1e6) + 1;
            if (tv.tv_usec >= 1000000) {
                tv.tv_sec++;
                tv.tv_usec -= 1000000;
            }
        }
        // The stop signals get through only while veld waits here.
        struct timespec ts = {tv.tv_sec, tv.tv_usec * 1000};
        int n = pselect(maxfd + 1, &rset, &wset, nullptr, &ts, &waitmask);
        if (n == -1 && errno == EINTR && stop_signal != 0)
            continue;
        if (n == -1) {
            VLOG("[ERROR] select(2) error: %d %s\n", errno, std::strerror(errno));
            continue;
        }
        if (n == 0)
            continue;

        // Each ready socket and the TAP device give up what they hold, up to
        // a bound, before the next one is served.
        bool icmp_failed = false;
        if (FD_ISSET(veld.icmp_fd, &rset))
            icmp_failed = icmp_rx_batch() < 0;
        if (!icmp_failed && FD_ISSET(veld.udp_fd, &rset))
            (void)udp_rx_batch();
        if (FD_ISSET(veld.tap_fd, &rset))
            (void)tap_rx_batch();
        if (FD_ISSET(veld.tcp_fd, &rset))
            (void)tcp_accept(veld.tcp_fd);

        bool failed = tcp_service(&rset, &wset);
        dgram_flush();
        tap_flush();
        if (failed)
            tcp_cleanup_abnormal();
    }
}
} // namespace

int main(int argc, char **argv)
{
    const char *pid_path = VELD_PIDFILE;
    int debug = 0;
    bool foreground = false;
    int ch;

    while ((ch = getopt(argc, argv, "c:dFi:l:P:")) != -1) {
        switch (ch) {
        case 'c':
            veld.cleanup_interval = std::atoi(optarg);
            break;
        case 'd':
            debug++;
            break;
        case 'F':
            foreground = !foreground;
            break;
        case 'i':
            veld.usage_interval = std::atoi(optarg);
            break;
        case 'l':
            veld.shm_arg = optarg;
            break;
        case 'P':
            pid_path = optarg;
            break;
        default:
            veld_usage();
        }
    }
    if (optind < argc) {
        VDAEMON_TooMany(argv[optind]);
        veld_usage();
    }
    if (debug != 0 && foreground) {
        VDAEMON_OnlyOneDF();
        veld_usage();
    }
    veld.debug = debug;

    if (mkdir(VELD_WORKDIR, 0755) < 0 && errno != EEXIST) {
        std::fprintf(stderr, "Cannot create working directory '%s': %s\n", VELD_WORKDIR,
                     std::strerror(errno));
        std::exit(1);
    }
    if (chdir(VELD_WORKDIR) < 0) {
        std::fprintf(stderr, "Cannot change to working directory '%s': %s\n", VELD_WORKDIR,
                     std::strerror(errno));
        std::exit(1);
    }
    block_stop_signals();
    vpf_file *pfh = VDAEMON_PidOpen(pid_path);
    if (debug == 0 && !foreground)
        VDAEMON_Detach(true);
    (void)VDAEMON_PidWrite(pfh);
    VDAEMON_OpenLog("veld");

    SHM_Init(veld.shm_arg);
    VSL_Init();

    sesst.sesstbl = sessinit(VELD_SESS_ELEMENTS, &sesst.sesstbl_mask);
    VAS_ASSERT_TEXT(sesst.sesstbl != nullptr, "sesstbl != ((void *)0)");

    veld.tap_fd = tap_alloc();
    VAS_ASSERT_TEXT(veld.tap_fd >= 0, "tap_fd >= 0");
    setupTapDev();
    readPublicIP();

    ignore_signals();
    catch_stop_signals();
    open_sockets();
    tap_offload_line(dgram_offload_setup(tap_offload_wanted()));
    veld_loop(pfh);
}
