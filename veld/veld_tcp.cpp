#include "veld_tcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/uio.h>
#include <unistd.h>

#include "vas.h"
#include "veld_counters.h"
#include "veld_port.h"
#include "veld_sess.h"
#include "veld_stat.h"
#include "veld_state.h"
#include "vlog.h"
#include "vrate.h"
#include "vtcp.h"

tcp_state tcpst;

#define CHECK_TC(tc) CHECK_OBJ_NOTNULL(tc, 0x29710467)

namespace
{
void tcp_peer(const tcpconn *tc, char *host, size_t hostlen, int *port)
{
    host[0] = '\0';
    *port = 0;
    if (tc->addr.ss_family == AF_INET) {
        const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&tc->addr);
        inet_ntop(AF_INET, &sin->sin_addr, host, hostlen);
        *port = ntohs(sin->sin_port);
    }
}

// Takes an emptied chunk from the spares, or allocates one.
tc_w *tcp_chunk_get()
{
    tc_w *w = tcpst.wpool;
    if (w != nullptr) {
        tcpst.wpool = w->next;
        tcpst.n_wpool--;
    } else {
        w = static_cast<tc_w *>(std::malloc(sizeof(tc_w) + TC_WCHUNK_SIZE));
        VAS_ASSERT_TEXT(w != nullptr, "w != ((void *)0)");
        w->buf = reinterpret_cast<uint8_t *>(w + 1);
    }
    w->buflen = 0;
    w->next = nullptr;
    return w;
}

void tcp_chunk_put(tc_w *w)
{
    if (tcpst.n_wpool >= TC_WCHUNK_SPARE) {
        std::free(w);
        return;
    }
    w->next = tcpst.wpool;
    tcpst.wpool = w;
    tcpst.n_wpool++;
}

// Appends n bytes to the write queue, running into new chunks as needed.
void tcp_wq_append(tcpconn *tc, const uint8_t *p, size_t n)
{
    while (n > 0) {
        tc_w *w = tc->wq_tail;
        if (w == nullptr || w->buflen == TC_WCHUNK_SIZE) {
            w = tcp_chunk_get();
            if (tc->wq_tail != nullptr)
                tc->wq_tail->next = w;
            else
                tc->wq_head = w;
            tc->wq_tail = w;
        }
        size_t room = static_cast<size_t>(TC_WCHUNK_SIZE - w->buflen);
        size_t k = n < room ? n : room;
        std::memcpy(w->buf + w->buflen, p, k);
        w->buflen += static_cast<int64_t>(k);
        p += k;
        n -= k;
    }
}

unsigned veldhdr_len(const uint8_t *p)
{
    return p[2] | (p[3] << 8);
}

// Handles one complete unit: its frame goes to the session table.
void tcp_unit(tcpconn *tc, const uint8_t *frame, ssize_t flen, double *now)
{
    if (flen <= static_cast<ssize_t>(SESS_MIN_FRAME)) {
        VLOG("[WARN] too small packet for TCP: %zd", flen);
        return;
    }
    if (flen > 1500)
        VLOG("[ERROR] Ooops, too big frame (%zd) is received", flen);
    // One clock reading serves every frame of the same read.
    if (*now < 0)
        *now = veld_clock_mono();
    tc->last_frame = *now;
    int created = 0;
    sess_rx(reinterpret_cast<const struct sockaddr *>(&tc->addr), tc->addrlen, frame,
            static_cast<size_t>(flen), SESS_TCP, tc, &created);
    if (created)
        tc->flags |= TC_HAS_SESSION;
}
} // namespace

tcpconn *tcp_new(int fd, const struct sockaddr *addr, socklen_t addrlen)
{
    auto *tc = static_cast<tcpconn *>(std::calloc(1, sizeof(tcpconn)));
    VAS_ASSERT_TEXT(tc != nullptr, "tc != ((void *)0)");
    tc->magic = TC_MAGIC;
    tc->fd = fd;
    tc->flags = TC_HDR_READ;
    tc->want = TC_WANT_READ;
    tc->last_frame = veld_clock_mono();
    if (addrlen > sizeof tc->addr)
        addrlen = sizeof tc->addr;
    std::memcpy(&tc->addr, addr, addrlen);
    tc->addrlen = addrlen;
    tc->next = tcpst.tcplist;
    if (tcpst.tcplist != nullptr)
        tcpst.tcplist->prev = tc;
    tcpst.tcplist = tc;
    tcpst.n_tcp++;
    char host[INET_ADDRSTRLEN];
    int port;
    tcp_peer(tc, host, sizeof host, &port);
    VLOG("[INFO] TCP connection is accepted from %s:%d (tc %p fd %d count %ju)", host, port,
         static_cast<void *>(tc), fd, static_cast<uintmax_t>(tcpst.n_tcp));
    return tc;
}

static vrate rl_accept{"accept(2) error"};

int tcp_accept(int listen_fd)
{
    struct sockaddr_storage ss;
    socklen_t sslen = sizeof ss;
    // Short of descriptors the connection waits in the backlog while the
    // listener rests: retrying at once would only spin.
    int fd =
        VACCEPT_Accept(&tcpst.acc, listen_fd, reinterpret_cast<struct sockaddr *>(&ss), &sslen, 0);
    if (fd < 0) {
        if (!VACCEPT_Shortage(errno)) {
            VRATE_Log(&rl_accept, "[ERROR] accept(2) error: %d %s", errno, std::strerror(errno));
        }
        return -1;
    }
    if (fd >= FD_SETSIZE) {
        // select() cannot watch it; refuse the client rather than stop veld.
        vcnt.refused_tcp_descriptor++;
        char host[INET_ADDRSTRLEN] = "";
        int port = 0;
        if (ss.ss_family == AF_INET) {
            const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&ss);
            inet_ntop(AF_INET, &sin->sin_addr, host, sizeof host);
            port = ntohs(sin->sin_port);
        }
        VLOG("[WARN] TCP connection from %s:%d is refused: descriptor %d is not below %d", host,
             port, fd, FD_SETSIZE);
        close(fd);
        return -1;
    }
    int j = VTCP_nonblocking(fd);
    VAS_ASSERT_TEXT(VTCP_Check(j), "VTCP_Check(j)");
    j = VTCP_nodelay(fd);
    VAS_ASSERT_TEXT(VTCP_Check(j), "VTCP_Check(j)");
    tcp_new(fd, reinterpret_cast<struct sockaddr *>(&ss), sslen);
    return 0;
}

double tcp_accept_wait()
{
    return VACCEPT_Wait(&tcpst.acc);
}

double tcp_clock_mono()
{
    return veld_clock_mono();
}

void tcp_expire_idle()
{
    // The loop may turn many thousand times a second; once a second is enough.
    double now = veld_clock_mono();
    if (now >= tcpst.idle_checked && now - tcpst.idle_checked < 1)
        return;
    tcpst.idle_checked = now;
    // Once a second too: the count of lines held back by the rate limiters.
    VRATE_Flush(&rl_accept);
    sess_log_flush();
    tcpconn *next;
    for (tcpconn *tc = tcpst.tcplist; tc != nullptr; tc = next) {
        CHECK_OBJ(tc, 0x29710467);
        next = tc->next;
        if ((tc->flags & TC_HAS_SESSION) || now - tc->last_frame < TC_IDLE_TIMEOUT)
            continue;
        char host[INET_ADDRSTRLEN];
        int port;
        tcp_peer(tc, host, sizeof host, &port);
        VLOG("[INFO] TCP connection from %s:%d carried no frame for %.0f seconds (tc %p fd %d)",
             host, port, TC_IDLE_TIMEOUT, static_cast<void *>(tc), tc->fd);
        tcp_close(tc);
    }
}

bool tcp_service(const fd_set *rset, const fd_set *wset)
{
    bool failed = false;
    for (tcpconn *tc = tcpst.tcplist; tc != nullptr; tc = tc->next) {
        CHECK_OBJ(tc, 0x29710467);
        if (tc->flags & TC_DEAD)
            continue;
        if ((tc->want & TC_WANT_READ) && FD_ISSET(tc->fd, rset) && tcp_read(tc) == -1) {
            tc->flags |= TC_DEAD;
            failed = true;
        }
        // A failed read still lets the queue go out (and a failing write be
        // logged) in this same turn: after it the socket is no longer watched.
        if ((tc->want & TC_WANT_WRITE) && FD_ISSET(tc->fd, wset) && tcp_write(tc) == -1) {
            tc->flags |= TC_DEAD;
            failed = true;
        }
    }
    return failed;
}

int tcp_read(tcpconn *tc)
{
    CHECK_TC(tc);
    VAS_ASSERT_TEXT((tc->want & TC_WANT_READ) != 0, "(tc->want & (1 << 0)) != 0");
    // The loop's thread is the only reader: one area serves every connection.
    // The unit begun in an earlier read goes in front of the new bytes.
    static uint8_t area[TC_READ_SIZE];
    const bool in_hdr = (tc->flags & TC_HDR_READ) != 0;
    const size_t held = static_cast<size_t>(tc->rbuflen);
    VAS_ASSERT(tc->rbuflen >= 0 && held < TC_RBUF_SIZE);
    if (!in_hdr) {
        size_t end = sizeof(veldhdr) + veldhdr_len(tc->rbuf);
        VAS_ASSERT(end > held && end < TC_RBUF_SIZE);
    }
    std::memcpy(area, tc->rbuf, held);
    ssize_t n = read(tc->fd, area + held, sizeof area - held);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        if (errno == ECONNRESET)
            return -1;
        if (in_hdr)
            VLOG_At(LOG_ERR, "[%s] VELEC_00150: TCP read(2) failed: %d %s", "ERROR", errno,
                    std::strerror(errno));
        else
            VLOG("[ERROR] TCP read(2) failed: %d %s", errno, std::strerror(errno));
        return -1;
    }
    if (n == 0) {
        VLOG("[WARN] TCP read(2) EOF. (tc %p fd %d)", static_cast<void *>(tc), tc->fd);
        return -1;
    }

    const size_t end = held + static_cast<size_t>(n);
    size_t off = 0;
    // A header held from an earlier read was checked then.
    bool checked = !in_hdr;
    double now = -1;
    for (;;) {
        const uint8_t *u = area + off;
        size_t avail = end - off;
        if (avail < sizeof(veldhdr)) {
            std::memcpy(tc->rbuf, u, avail);
            tc->rbuflen = static_cast<int64_t>(avail);
            tc->flags |= TC_HDR_READ;
            return 0;
        }
        unsigned len = veldhdr_len(u);
        if (!checked) {
            if (u[0] != VELDHDR_MAGIC || len == 0 || len > VELDHDR_MAXLEN || u[1] != 0) {
                // The connection ends here; the units before it were handled.
                std::memcpy(tc->rbuf, u, sizeof(veldhdr));
                tc->rbuflen = sizeof(veldhdr);
                tc->flags |= TC_HDR_READ;
                if (u[0] != VELDHDR_MAGIC)
                    VLOG("[WARN] WRONG veldhdr magic for TCP '%c'", u[0]);
                return -1;
            }
        }
        checked = false;
        size_t ulen = sizeof(veldhdr) + len;
        if (avail < ulen) {
            std::memcpy(tc->rbuf, u, avail);
            tc->rbuflen = static_cast<int64_t>(avail);
            tc->flags &= ~TC_HDR_READ;
            return 0;
        }
        tcp_unit(tc, u + sizeof(veldhdr), static_cast<ssize_t>(len), &now);
        off += ulen;
    }
}

int tcp_write(tcpconn *tc)
{
    CHECK_TC(tc);
    // Enough for everything TC_WQ_MAX lets queue; more would take another turn.
    constexpr int IOV_N = 80;
    while (tc->wq_head != nullptr) {
        struct iovec iov[IOV_N];
        int cnt = 0;
        int64_t total = 0;
        for (tc_w *w = tc->wq_head; w != nullptr && cnt < IOV_N; w = w->next) {
            int64_t from = w == tc->wq_head ? tc->wbuf_cur : 0;
            VAS_ASSERT_TEXT(w->buflen - from > 0, "w->buflen - tc->wbuf_cur > 0");
            iov[cnt].iov_base = w->buf + from;
            iov[cnt].iov_len = static_cast<size_t>(w->buflen - from);
            total += w->buflen - from;
            cnt++;
        }
        ssize_t n = writev(tc->fd, iov, cnt);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return 0;
            VLOG("[ERROR] VELEC_00151: TCP write(2) failed: %d %s", errno, std::strerror(errno));
            return -1;
        }
        tc->wq_bytes -= n;
        int64_t left = n;
        while (left > 0) {
            tc_w *w = tc->wq_head;
            int64_t rest = w->buflen - tc->wbuf_cur;
            if (left < rest) {
                tc->wbuf_cur += left;
                break;
            }
            left -= rest;
            tc->wbuf_cur = 0;
            tc->wq_head = w->next;
            if (tc->wq_head == nullptr)
                tc->wq_tail = nullptr;
            tcp_chunk_put(w);
        }
        // The socket took less than offered: the rest waits for writability.
        if (n < total)
            return 0;
    }
    tc->want &= ~TC_WANT_WRITE;
    return 0;
}

void tcp_enqueue(sess *sp, tcpconn *tc, const uint8_t *frame, size_t len)
{
    CHECK_TC(tc);
    VAS_ASSERT_TEXT(frame != nullptr, "buf != ((void *)0)");
    VAS_ASSERT_TEXT(len > 0, "len > 0");
    // The header carries 16 bits of length.
    VAS_ASSERT(len <= 0xffff);
    int64_t need = static_cast<int64_t>(sizeof(veldhdr) + len);
    if (tc->wq_bytes + need > TC_WQ_MAX) {
        vcnt.refused_tcp_queue++;
        tc->n_dropped++;
        int64_t now = veld_now();
        if (tc->n_dropped == 1 || now - tc->last_drop_log >= TC_DROP_LOG_INTERVAL) {
            tc->last_drop_log = now;
            VLOG("[WARN] TCP write queue is full; frames are dropped (tc %p fd %d queued %jd "
                 "dropped %ju)",
                 static_cast<void *>(tc), tc->fd, static_cast<intmax_t>(tc->wq_bytes),
                 static_cast<uintmax_t>(tc->n_dropped));
        }
        return;
    }

    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    sess_stat_backend(sp, STAT_RX, STAT_DIR_SRC, sp->type, frame, len);
    if (tc->addr.ss_family == AF_INET) {
        const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&tc->addr);
        sess_stat_transport(sp, STAT_TX, sp->type, sin->sin_addr.s_addr, len);
    }

    uint8_t hdr[sizeof(veldhdr)] = {VELDHDR_MAGIC, 0, static_cast<uint8_t>(len & 0xff),
                                    static_cast<uint8_t>((len >> 8) & 0xff)};
    tcp_wq_append(tc, hdr, sizeof hdr);
    tcp_wq_append(tc, frame, len);
    tc->wq_bytes += need;
    tc->want |= TC_WANT_WRITE;
}

void tcp_close(tcpconn *tc)
{
    CHECK_TC(tc);
    VLOG("[INFO] TCP connection is closing (tc %p fd %d)", static_cast<void *>(tc), tc->fd);
    while (tc->wq_head != nullptr) {
        tc_w *w = tc->wq_head;
        tc->wq_head = w->next;
        tcp_chunk_put(w);
    }
    tc->wq_tail = nullptr;
    if (tc->fd >= 0)
        close(tc->fd);
    if (tc->prev != nullptr)
        tc->prev->next = tc->next;
    else
        tcpst.tcplist = tc->next;
    if (tc->next != nullptr)
        tc->next->prev = tc->prev;
    tc->magic = 0;
    std::free(tc);
    tcpst.n_tcp--;
}

void tcp_cleanup_abnormal()
{
    tcpconn *next;
    for (tcpconn *tc = tcpst.tcplist; tc != nullptr; tc = next) {
        CHECK_OBJ(tc, 0x29710467);
        next = tc->next;
        if ((tc->flags & TC_DEAD) && !(tc->flags & TC_HAS_SESSION))
            tcp_close(tc);
    }
}

void tcp_addref(tcpconn *tc)
{
    CHECK_TC(tc);
    VAS_ASSERT_TEXT(tc->refcnt >= 0, "tc->refcnt >= 0");
    tc->refcnt++;
}

void tcp_decref(tcpconn *tc)
{
    CHECK_TC(tc);
    tc->refcnt--;
    VAS_ASSERT_TEXT(tc->refcnt >= 0, "tc->refcnt >= 0");
}

namespace
{
void tcp_send(sess *sp, const uint8_t *frame, size_t len, bool)
{
    tcp_enqueue(sp, sp->tc, frame, len);
}

void tcp_hold(sess *sp)
{
    tcp_addref(sp->tc);
}

void tcp_release(sess *sp)
{
    tcpconn *tc = sp->tc;
    VAS_ASSERT_TEXT(tc != nullptr, "tc != ((void *)0)");
    tcp_decref(tc);
    if (tc->refcnt == 0)
        tcp_close(tc);
}

const struct sockaddr *tcp_peer(const void *origin, socklen_t *addrlen)
{
    const auto *tc = static_cast<const tcpconn *>(origin);
    *addrlen = tc->addrlen;
    return reinterpret_cast<const struct sockaddr *>(&tc->addr);
}
} // namespace

const veld_port veld_port_tcp = {tcp_send, tcp_hold, tcp_release, tcp_peer, nullptr};
