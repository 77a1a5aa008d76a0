// Accepting connections when descriptors run out. After EMFILE or ENFILE
// (or ENOBUFS/ENOMEM) a retry fails again at once: the pending connection
// stays in the backlog and the listening socket stays readable, so a loop
// that retries spins and logs without end. Instead the listener rests for
// VACCEPT_PAUSE seconds, the shortage is logged once, and one line says when
// connections are accepted again.
#pragma once

#include <cstdint>
#include <sys/socket.h>

#include "vtim.h"

constexpr double VACCEPT_PAUSE = 1.0;

struct vaccept {
    const char *what;              // names the connections: "TCP", "HTTP"
    double pause = VACCEPT_PAUSE;  // seconds to rest after a shortage
    double (*clock)() = VTIM_mono; // tests drive it
    double resume = 0;             // monotonic: accepting rests until then; 0: not resting
    bool starved = false;          // a shortage was logged and not yet resolved
    uint64_t failed = 0;           // accept(2) calls that failed since
};
// Usage: static vaccept acc{"TCP"};

// accept4(2) on lfd with flags (SOCK_NONBLOCK, SOCK_CLOEXEC). Gives the new
// descriptor, or -1 with errno. A shortage of descriptors or memory starts
// the rest and is logged once:
//     "[WARN] accept(2) error: %d %s; new TCP connections wait until descriptors are free"
// and the first success after it logs
//     "[INFO] TCP connections are accepted again (%ju accept(2) calls failed)".
// Other errors are left to the caller to log (rate-limited, see vrate.h).
int VACCEPT_Accept(vaccept *va, int lfd, struct sockaddr *addr, socklen_t *addrlen, int flags);
// True for the errno values that start a rest.
bool VACCEPT_Shortage(int err);
// Seconds the listener still rests: 0 when it may be watched for readability
// again. A select/poll/epoll loop leaves the listening socket out while this
// is above 0 and waits at most this long.
double VACCEPT_Wait(vaccept *va);
