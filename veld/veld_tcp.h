// Framed TCP transport: every Ethernet frame travels behind a 4-byte header
// ("V", 0, little-endian length). Connections are shared with the sessions
// created from them through a reference count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/select.h>
#include <sys/socket.h>

#include "vaccept.h"

struct sess;

constexpr uint32_t TC_MAGIC = 0x29710467;
constexpr uint8_t VELDHDR_MAGIC = 0x56; // 'V'
// The unit still incomplete after a read is kept in rbuf until the rest comes.
constexpr size_t TC_RBUF_SIZE = 2048;
// Header and frame must fit into rbuf with room to spare.
constexpr uint16_t VELDHDR_MAXLEN = 2043;
// One read(2) of a connection takes at most this many bytes (about 40 frames
// of full size); every complete unit in them is handled before the loop goes
// on, so one busy client cannot hold the loop longer than that.
constexpr size_t TC_READ_SIZE = 65536;
// Queued units are packed into chunks of this many bytes (a unit may run from
// one chunk into the next); one writev(2) takes everything queued.
constexpr int64_t TC_WCHUNK_SIZE = 16384;
// Emptied chunks kept for reuse, so that queueing a frame allocates nothing.
constexpr unsigned TC_WCHUNK_SPARE = 64;
// Bytes a connection may have queued for a peer that does not read; frames
// beyond it are dropped rather than let memory grow without bound.
constexpr int64_t TC_WQ_MAX = 1024 * 1024;
// At most one line about dropped frames per connection in this many seconds.
constexpr int64_t TC_DROP_LOG_INTERVAL = 10;
// A connection that holds no session and has carried no frame for this long
// is closed: otherwise idle connections pile up until no descriptor is left.
constexpr double TC_IDLE_TIMEOUT = 60;
// When accept(2) finds no descriptor, the listening socket rests this long
// instead of waking the loop at once again.
constexpr double TC_ACCEPT_PAUSE = 1;

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

// One chunk of a connection's write queue.
struct tc_w {
    uint8_t *buf;   // TC_WCHUNK_SIZE bytes, in the same allocation
    int64_t buflen; // bytes filled
    tc_w *next;
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
    int64_t wbuf_cur; // bytes of the head chunk already written
    int64_t wq_bytes; // bytes queued and not yet written
    uint64_t n_dropped;
    int64_t last_drop_log;
    double last_frame; // monotonic: accepted, or last frame received
    tcpconn *prev, *next;
};

// veld's monotonic clock (the seam tests move), for the accept rest.
double tcp_clock_mono();

struct tcp_state {
    tcpconn *tcplist = nullptr; // newest first
    uint64_t n_tcp = 0;
    vaccept acc{"TCP", TC_ACCEPT_PAUSE, tcp_clock_mono}; // rests after a shortage
    double idle_checked = 0;     // monotonic: last look for idle connections
    tc_w *wpool = nullptr;       // emptied write-queue chunks
    unsigned n_wpool = 0;
};
extern tcp_state tcpst;

// Makes the record of an accepted socket, puts it at the head of tcplist.
tcpconn *tcp_new(int fd, const struct sockaddr *addr, socklen_t addrlen);
// Accepts one connection on the listening socket; 0, or -1 when nothing was
// accepted (failure logged, or the connection refused).
int tcp_accept(int listen_fd);

// Seconds until the listening socket may be watched again; 0: now.
double tcp_accept_wait();
// Closes connections that hold no session and carried no frame for
// TC_IDLE_TIMEOUT seconds.
void tcp_expire_idle();
// Reads and writes every connection that select() found ready; true when one
// of them failed (tcp_cleanup_abnormal is then due).
bool tcp_service(const fd_set *rset, const fd_set *wset);

// One read of what has arrived (at most TC_READ_SIZE bytes); every complete
// unit in it is handled. 0, or -1 when the connection failed.
int tcp_read(tcpconn *tc);
// One writev(2) of everything queued; 0, or -1 when the connection failed.
int tcp_write(tcpconn *tc);
void tcp_enqueue(sess *sp, tcpconn *tc, const uint8_t *frame, size_t len);
void tcp_close(tcpconn *tc);
void tcp_cleanup_abnormal();
void tcp_addref(tcpconn *tc);
void tcp_decref(tcpconn *tc);
