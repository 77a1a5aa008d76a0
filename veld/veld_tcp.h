// Framed TCP transport: every Ethernet frame travels behind a 4-byte header
// ("V", 0, little-endian length). Connections are shared with the sessions
// created from them through a reference count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

struct sess;

constexpr uint32_t TC_MAGIC = 0x29710467;
constexpr uint8_t VELDHDR_MAGIC = 0x56; // 'V'
constexpr size_t TC_RBUF_SIZE = 2048;
// Header and frame must fit into rbuf with room to spare.
constexpr uint16_t VELDHDR_MAXLEN = 2043;
// Bytes a connection may have queued for a peer that does not read; frames
// beyond it are dropped rather than let memory grow without bound.
constexpr int64_t TC_WQ_MAX = 1024 * 1024;
// At most one line about dropped frames per connection in this many seconds.
constexpr int64_t TC_DROP_LOG_INTERVAL = 10;

struct veldhdr {
    uint8_t magic;
    uint8_t reserved;
    uint8_t len[2]; // little-endian
};
static_assert(sizeof(veldhdr) == 4);

// flags
constexpr uint32_t TC_HDR_READ = 1u << 0;
constexpr uint32_t TC_DEAD = 1u << 1;
constexpr uint32_t TC_HAS_SESSION = 1u << 2;
// want
constexpr uint32_t TC_WANT_READ = 1u << 0;
constexpr uint32_t TC_WANT_WRITE = 1u << 1;

struct tc_w {
    uint8_t *buf;
    int64_t buflen; // 4 + frame length
    tc_w *next;
    // header and frame follow in the same allocation
};

struct tcpconn {
    uint32_t magic;
    int fd;
    uint32_t flags;
    int32_t refcnt;
    uint32_t want;
    struct sockaddr_storage addr;
    uint32_t addrlen;
    uint8_t rbuf[TC_RBUF_SIZE];
    int64_t rbuflen;
    tc_w *wq_head;
    tc_w *wq_tail;
    int64_t wbuf_cur;
    int64_t wq_bytes; // sum of buflen over the queue
    uint64_t n_dropped;
    int64_t last_drop_log;
    tcpconn *prev, *next;
};

struct tcp_state {
    tcpconn *tcplist = nullptr; // newest first
    uint64_t n_tcp = 0;
};
extern tcp_state tcpst;

// Makes the record of an accepted socket, puts it at the head of tcplist.
tcpconn *tcp_new(int fd, const struct sockaddr *addr, socklen_t addrlen);
// Accepts one connection on the listening socket; 0, or -1 when nothing was
// accepted (failure logged, or the connection refused).
int tcp_accept(int listen_fd);

int tcp_read(tcpconn *tc);
int tcp_write(tcpconn *tc);
void tcp_enqueue(sess *sp, tcpconn *tc, const uint8_t *frame, size_t len);
void tcp_close(tcpconn *tc);
void tcp_cleanup_abnormal();
void tcp_addref(tcpconn *tc);
void tcp_decref(tcpconn *tc);
