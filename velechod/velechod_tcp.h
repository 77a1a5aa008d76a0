// The echo service's TCP side: one epoll loop on its own thread, a small
// state machine per connection (read one chunk, write it back, close) and an
// idle time-out per connection on the callout wheel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "callout.h"
#include "vaccept.h"
#include "velechod_port.h"

constexpr uint32_t TCP_CONN_MAGIC = 0x7c0e5a11;
constexpr uint32_t ECHO_TCP_MAGIC = 0x7c0e5a12;

constexpr int TCP_BACKLOG = 1024;
constexpr int TCP_EVENT_BATCH = 4096;
constexpr int TCP_WAIT_MS = 1000;
constexpr long TCP_IDLE_TICKS = 1000; // from accept to forced close
constexpr size_t TCP_CHUNK = 8192;    // what one connection gets echoed at most

// tcp_eventadd modes.
constexpr int TCP_EV_READ = 1;
constexpr int TCP_EV_WRITE = 2;

enum tcp_state_e { TCP_S_READ = 0, TCP_S_WRITE = 1, TCP_S_CLOSE = 2 };

struct tcp_conn {
    uint32_t magic;
    int fd;
    int state;
    cot_entry callout;
    size_t length;  // bytes held in buffer
    size_t written; // of those, already sent back
    char buffer[TCP_CHUNK];
};

// All TCP state belongs to the one thread that runs tcp_thread.
struct echo_tcp_state {
    uint32_t magic;
    int efd; // tcp_efd
    cot_wheel wheel;
    tcp_conn *listener;
    vaccept acc;    // out of descriptors, the listener rests a moment
    bool listening; // the listener is registered with epoll
};
extern echo_tcp_state echo_tcp;

// Epoll instance and wheel; no listener yet (tests call this alone).
void tcp_init();
// Register tp, level-triggered, for mode TCP_EV_READ or TCP_EV_WRITE.
void tcp_eventadd(tcp_conn *tp, int mode);
void tcp_eventdel(tcp_conn *tp);
void tcp_nonblocking(int fd);
tcp_conn *tcp_new(int fd);
// Idle time-out: unregister, close and free.
void tcp_free(void *arg);
// Serve a connection that was reported ready and is unregistered: it ends
// closed, or registered again to wait for the readiness it needs.
void tcp_sm(tcp_conn *tp);
// Accept one connection from the listener.
void tcp_accept();
// One epoll wait, its events, then the due time-outs. A listener resting
// after a shortage of descriptors is left out of the wait until its rest is
// over, so the thread sleeps instead of failing accept(2) in a loop.
void tcp_poll_once();
// Writes the counts of rate-limited lines once their second is over.
void echo_log_flush();
// The thread: listener on ECHO_PORT, then tcp_poll_once for ever.
void *tcp_thread(void *);
