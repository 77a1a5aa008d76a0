#include "veld_tcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/select.h>
#include <unistd.h>

#include "vas.h"
#include "veld_sess.h"
#include "veld_stat.h"
#include "veld_state.h"
#include "vlog.h"
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

// One read of at most want bytes into rbuf; 1 with bytes added, 0 to wait for
// the next readiness, -1 when the connection failed. hdr picks the error text.
int tcp_read_some(tcpconn *tc, size_t want, bool hdr)
{
    ssize_t n = read(tc->fd, tc->rbuf + tc->rbuflen, want);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return 0;
        if (errno == ECONNRESET)
            return -1;
        if (hdr)
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
    tc->rbuflen += n;
    return 1;
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

int tcp_accept(int listen_fd)
{
    struct sockaddr_storage ss;
    socklen_t sslen = sizeof ss;
    int fd = accept(listen_fd, reinterpret_cast<struct sockaddr *>(&ss), &sslen);
    if (fd < 0) {
        VLOG("[ERROR] accept(2) error: %d %s", errno, std::strerror(errno));
        return -1;
    }
    if (fd >= FD_SETSIZE) {
        // select() cannot watch it; refuse the client rather than stop veld.
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

int tcp_read(tcpconn *tc)
{
    CHECK_TC(tc);
    VAS_ASSERT_TEXT((tc->want & TC_WANT_READ) != 0, "(tc->want & (1 << 0)) != 0");
    if (tc->flags & TC_HDR_READ) {
        int r = tcp_read_some(tc, sizeof(veldhdr) - tc->rbuflen, true);
        if (r <= 0)
            return r;
        if (tc->rbuflen < static_cast<int64_t>(sizeof(veldhdr)))
            return 0;
        const auto *hdr = reinterpret_cast<const veldhdr *>(tc->rbuf);
        if (hdr->magic != VELDHDR_MAGIC) {
            VLOG("[WARN] WRONG veldhdr magic for TCP '%c'", hdr->magic);
            return -1;
        }
        unsigned len = hdr->len[0] | (hdr->len[1] << 8);
        if (len == 0 || len > VELDHDR_MAXLEN || hdr->reserved != 0)
            return -1;
        tc->flags &= ~TC_HDR_READ;
        return 0;
    }
    const auto *hdr = reinterpret_cast<const veldhdr *>(tc->rbuf);
    int64_t end = sizeof(veldhdr) + (hdr->len[0] | (hdr->len[1] << 8));
    VAS_ASSERT(end > tc->rbuflen && end < static_cast<int64_t>(TC_RBUF_SIZE));
    int r = tcp_read_some(tc, end - tc->rbuflen, false);
    if (r <= 0)
        return r;
    if (tc->rbuflen < end)
        return 0;
    ssize_t flen = tc->rbuflen - sizeof(veldhdr);
    if (flen <= static_cast<ssize_t>(SESS_MIN_FRAME)) {
        VLOG("[WARN] too small packet for TCP: %zd", flen);
    } else {
        if (flen > 1500)
            VLOG("[ERROR] Ooops, too big frame (%zd) is received", flen);
        int created = 0;
        sess_rx(reinterpret_cast<const struct sockaddr *>(&tc->addr), tc->addrlen,
                tc->rbuf + sizeof(veldhdr), flen, SESS_TCP, tc, &created);
        if (created)
            tc->flags |= TC_HAS_SESSION;
    }
    tc->flags |= TC_HDR_READ;
    tc->rbuflen = 0;
    return 0;
}

int tcp_write(tcpconn *tc)
{
    CHECK_TC(tc);
    while (tc->wq_head != nullptr) {
        tc_w *w = tc->wq_head;
        VAS_ASSERT_TEXT(w->buflen - tc->wbuf_cur > 0, "w->buflen - tc->wbuf_cur > 0");
        ssize_t n = write(tc->fd, w->buf + tc->wbuf_cur, w->buflen - tc->wbuf_cur);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                return 0;
            VLOG("[ERROR] VELEC_00151: TCP write(2) failed: %d %s", errno, std::strerror(errno));
            return -1;
        }
        if (n < w->buflen - tc->wbuf_cur) {
            tc->wbuf_cur += n;
            return 0;
        }
        tc->wq_head = w->next;
        if (tc->wq_head == nullptr)
            tc->wq_tail = nullptr;
        tc->wq_bytes -= w->buflen;
        std::free(w);
        tc->wbuf_cur = 0;
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

    auto *w = static_cast<tc_w *>(std::malloc(sizeof(tc_w) + need));
    VAS_ASSERT_TEXT(w != nullptr, "w != ((void *)0)");
    w->buf = reinterpret_cast<uint8_t *>(w + 1);
    w->buflen = need;
    w->next = nullptr;
    auto *hdr = reinterpret_cast<veldhdr *>(w->buf);
    hdr->magic = VELDHDR_MAGIC;
    hdr->reserved = 0;
    hdr->len[0] = len & 0xff;
    hdr->len[1] = (len >> 8) & 0xff;
    std::memcpy(w->buf + sizeof(veldhdr), frame, len);
    if (tc->wq_tail != nullptr)
        tc->wq_tail->next = w;
    else
        tc->wq_head = w;
    tc->wq_tail = w;
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
        std::free(w);
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
