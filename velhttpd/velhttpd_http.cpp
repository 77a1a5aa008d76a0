#include "velhttpd_http.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include "vas.h"
#include "velhttpd_log.h"
#include "velhttpd_synth.h"
#include "vlog.h"
#include "vsb.h"
#include "vtim.h"

namespace
{
bool http_blank(char c)
{
    return c == ' ' || c == '\t';
}

bool http_line_end(char c)
{
    return c == '\r' || c == '\n';
}

bool http_white(char c)
{
    return http_blank(c) || http_line_end(c);
}

// The data ends in a blank line: two line feeds in a row, each optionally
// preceded by a carriage return.
bool http_ends_blank_line(const char *buf, size_t len)
{
    if (len < 2 || buf[len - 1] != '\n')
        return false;
    size_t i = len - 1;
    if (buf[i - 1] == '\r') {
        if (--i < 1)
            return false;
    }
    return buf[i - 1] == '\n';
}

// Milliseconds the next wait may take: the per-wait limit, cut to what is
// left of the deadline of the whole request or response.
int http_wait_ms(const http_peer *conn)
{
    double wait = conn->timeout;
    if (conn->deadline > 0) {
        double left = conn->deadline - VTIM_mono();
        if (left < wait)
            wait = left > 0 ? left : 0;
    }
    return static_cast<int>(wait * 1000);
}

// Sends len bytes, waiting for room at most until the deadline; 0 or -1 (logged).
int http_send_all(http_peer *conn, const char *p, size_t left)
{
    while (left > 0) {
        struct pollfd pfd = {conn->sock, POLLOUT, 0};
        int ms = http_wait_ms(conn);
        int i = ms > 0 ? poll(&pfd, 1, ms) : 0;
        if (i < 0 && errno == EINTR)
            continue;
        if (i == 0)
            errno = ETIMEDOUT;
        ssize_t r = -1;
        // A client that went away must not raise SIGPIPE.
        if (i > 0)
            r = send(conn->sock, p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (r <= 0) {
            VRATE_LogAt(&httpd_rl.write, LOG_ERR, "Write to velrun failed: %s",
                        std::strerror(errno));
            return -1;
        }
        p += r;
        left -= static_cast<size_t>(r);
    }
    return 0;
}

// Steps over the line end at *p (CR LF counts as one), NUL-terminating what
// came before it.
char *http_eat_line_end(char *p, const char *e)
{
    bool cr = *p == '\r';
    *p++ = '\0';
    if (cr && p < e && *p == '\n')
        *p++ = '\0';
    return p;
}
} // namespace

int http_peer_init(http_peer *conn, int sock, int listen_sock, size_t rxsize)
{
    std::memset(conn, 0, sizeof *conn);
    conn->magic = HTTP_PEER_MAGIC;
    conn->sock = sock;
    conn->listen_sock = listen_sock;
    conn->timeout = HTTP_TIMEOUT;
    conn->request_deadline = HTTP_REQUEST_DEADLINE;
    conn->tx_min_rate = HTTP_TX_MIN_RATE;
    conn->vsb = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    if (conn->vsb == nullptr)
        return -1;
    conn->rxbuf = static_cast<char *>(std::malloc(rxsize));
    if (conn->rxbuf == nullptr)
        return -1;
    conn->nrxbuf = rxsize;
    conn->rxbuf[0] = '\0';
    return 0;
}

void http_peer_fini(http_peer *conn)
{
    CHECK_OBJ_NOTNULL(conn, HTTP_PEER_MAGIC);
    std::free(conn->url);
    std::free(conn->rxbuf);
    if (conn->vsb != nullptr)
        VSB_delete(conn->vsb);
    std::memset(conn, 0, sizeof *conn);
}

int http_rxchar_eof(http_peer *conn, int sock, size_t n)
{
    CHECK_OBJ_NOTNULL(conn, HTTP_PEER_MAGIC);
    // The bytes and the NUL after them must fit.
    if (n >= conn->nrxbuf - conn->prxbuf) {
        VRATE_LogAt(&httpd_rl.too_large, LOG_ERR,
                    "HTTP request too large (%zu bytes received, %zu more wanted)", conn->prxbuf,
                    n);
        errno = EMSGSIZE;
        return -1;
    }
    while (n > 0) {
        struct pollfd pfd = {sock, POLLIN, 0};
        int ms = http_wait_ms(conn);
        int i = ms > 0 ? poll(&pfd, 1, ms) : 0;
        if (i < 0 && errno == EINTR)
            continue;
        if (i <= 0) {
            if (i == 0)
                errno = ETIMEDOUT;
            int err = errno;
            VRATE_LogAt(&httpd_rl.select, LOG_ERR, "HTTP select failed (i %d poll: %d %s)", i, err,
                        std::strerror(err));
            errno = err;
            return i;
        }
        ssize_t r = recv(sock, conn->rxbuf + conn->prxbuf, n, 0);
        if (r < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (r == 0) {
            errno = ENODATA;
            return 0;
        }
        if (r < 0) {
            int err = errno;
            VRATE_LogAt(&httpd_rl.recv, LOG_ERR, "HTTP recvfrom failed (i %zd read: %d %s)", r, err,
                        std::strerror(err));
            errno = err;
            return -1;
        }
        conn->prxbuf += static_cast<size_t>(r);
        conn->rxbuf[conn->prxbuf] = '\0';
        n -= static_cast<size_t>(r);
    }
    return 1;
}

int http_rxchar(http_peer *conn, int sock, size_t n)
{
    int i = http_rxchar_eof(conn, sock, n);
    if (i <= 0) {
        int err = errno;
        VRATE_LogAt(&httpd_rl.rx, LOG_ERR, "HTTP rx failed (%s)", std::strerror(err));
        errno = err;
    }
    return i;
}

int http_rxhdr(http_peer *conn, int sock)
{
    CHECK_OBJ_NOTNULL(conn, HTTP_PEER_MAGIC);
    conn->prxbuf = 0;
    conn->rxbuf[0] = '\0';
    // One byte per read, so that nothing beyond the blank line is taken.
    for (;;) {
        int i = http_rxchar(conn, sock, 1);
        if (i <= 0)
            return i;
        if (http_ends_blank_line(conn->rxbuf, conn->prxbuf))
            return 1;
    }
}

int http_splitheader(http_peer *conn)
{
    CHECK_OBJ_NOTNULL(conn, HTTP_PEER_MAGIC);
    std::memset(conn->hd, 0, sizeof conn->hd);
    char *p = conn->rxbuf;
    char *const e = conn->rxbuf + conn->prxbuf;

    // Method.
    while (p < e && http_white(*p))
        p++;
    conn->hd[0] = p;
    while (p < e && !http_white(*p))
        p++;
    if (p >= e || http_line_end(*p))
        return -1;
    *p++ = '\0';

    // URL.
    while (p < e && http_blank(*p))
        p++;
    if (p >= e || http_line_end(*p))
        return -1;
    conn->hd[1] = p;
    while (p < e && !http_white(*p))
        p++;
    if (p >= e)
        return -1;

    // Protocol, when the line has one.
    if (http_line_end(*p)) {
        p = http_eat_line_end(p, e);
    } else {
        *p++ = '\0';
        while (p < e && http_blank(*p))
            p++;
        conn->hd[2] = p;
        while (p < e && !http_line_end(*p))
            p++;
        if (p >= e)
            return -1;
        p = http_eat_line_end(p, e);
    }

    // Header lines up to the empty line.
    int n = HTTP_HDR_FIRST;
    for (;;) {
        if (p >= e)
            return -1;
        if (http_line_end(*p)) {
            p = http_eat_line_end(p, e);
            break;
        }
        if (n >= HTTP_HDR_MAX) {
            VRATE_LogAt(&httpd_rl.format, LOG_ERR, "Too many HTTP header lines (more than %d)",
                        HTTP_HDR_MAX - HTTP_HDR_FIRST);
            return -1;
        }
        conn->hd[n++] = p;
        while (p < e && !http_line_end(*p))
            p++;
        if (p >= e)
            return -1;
        p = http_eat_line_end(p, e);
    }
    conn->hd[n] = nullptr;
    if (p != e) {
        VRATE_LogAt(&httpd_rl.format, LOG_ERR, "Wrong HTTP message format!");
        return -1;
    }
    return 0;
}

const char *http_header_value(const http_peer *conn, const char *name)
{
    CHECK_OBJ_NOTNULL(conn, HTTP_PEER_MAGIC);
    size_t l = std::strlen(name);
    for (int i = HTTP_HDR_FIRST; i < HTTP_HDR_MAX && conn->hd[i] != nullptr; i++) {
        const char *h = conn->hd[i];
        if (strncasecmp(h, name, l) != 0 || h[l] != ':')
            continue;
        h += l + 1;
        while (http_blank(*h))
            h++;
        return h;
    }
    return nullptr;
}

int http_read_body(http_peer *conn, int sock)
{
    CHECK_OBJ_NOTNULL(conn, HTTP_PEER_MAGIC);
    conn->body = conn->prxbuf;
    conn->bodylen = 0;

    const char *cl = http_header_value(conn, "content-length");
    if (cl != nullptr) {
        unsigned long n = std::strtoul(cl, nullptr, 0);
        if (n > 0 && http_rxchar(conn, sock, n) <= 0)
            return -1;
        conn->bodylen = n;
        return 0;
    }

    const char *te = http_header_value(conn, "transfer-encoding");
    if (te == nullptr || std::strcmp(te, "chunked") != 0)
        return 0;
    for (;;) {
        // The chunk-size line, up to and including its line feed.
        size_t line = conn->prxbuf;
        do {
            if (http_rxchar(conn, sock, 1) <= 0)
                return -1;
        } while (conn->rxbuf[conn->prxbuf - 1] != '\n');
        char *end;
        unsigned long size = std::strtoul(conn->rxbuf + line, &end, 16);
        if (end == conn->rxbuf + line || (*end != '\0' && !http_white(*end)))
            return -1;
        conn->prxbuf = line;
        conn->rxbuf[line] = '\0';

        if (size > 0 && http_rxchar(conn, sock, size) <= 0)
            return -1;
        size_t crlf = conn->prxbuf;
        if (http_rxchar(conn, sock, 2) <= 0)
            return -1;
        if (!http_line_end(conn->rxbuf[crlf]) || !http_line_end(conn->rxbuf[crlf + 1]))
            return -1;
        conn->prxbuf = crlf;
        conn->rxbuf[crlf] = '\0';
        conn->bodylen += size;
        if (size == 0)
            return 0;
    }
}

int http_read_request(http_peer *conn)
{
    CHECK_OBJ_NOTNULL(conn, HTTP_PEER_MAGIC);
    conn->deadline = VTIM_mono() + conn->request_deadline;
    int i = http_rxhdr(conn, conn->sock);
    if (i == 1 && http_splitheader(conn) != 0)
        i = -1;
    if (i == 1) {
        conn->url = strdup(conn->hd[1]);
        AN(conn->url);
        if (http_read_body(conn, conn->sock) != 0)
            i = -1;
    }
    conn->deadline = 0;
    return i;
}

int http_write(http_peer *conn)
{
    CHECK_OBJ_NOTNULL(conn, HTTP_PEER_MAGIC);
    if (VSB_finish(conn->vsb) != 0) {
        VRATE_LogAt(&httpd_rl.write, LOG_ERR, "Write to velrun failed: %s", std::strerror(errno));
        return -1;
    }
    size_t head = static_cast<size_t>(VSB_len(conn->vsb));
    conn->deadline = VTIM_mono() + conn->timeout +
                     static_cast<double>(head + conn->synthlen) / conn->tx_min_rate;
    int r = http_send_all(conn, VSB_data(conn->vsb), head);
    char piece[HTTP_TX_PIECE];
    for (size_t off = 0; r == 0 && off < conn->synthlen; off += sizeof piece) {
        size_t n = conn->synthlen - off < sizeof piece ? conn->synthlen - off : sizeof piece;
        synth_fill(piece, off, n, conn->synthlen);
        r = http_send_all(conn, piece, n);
    }
    conn->deadline = 0;
    return r;
}
