#include "report_client.h"

#include "vas.h"
#include "vel_config.h"
#include "vlog.h"
#include "vsb.h"
#include "vss.h"
#include "vstat.h"
#include "vtcp.h"
#include "vtim.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <linux/sockios.h>
#include <algorithm>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

// The one TLS client context of the process, shared read-only once made.
struct rc_state {
    SSL_CTX *ctx = nullptr;
    bool verify = false;
    double answer_wait = VTCP_TIMEOUT_SEC; // seconds for a whole answer
} rc;

// One read of the answer, waiting at most until deadline (monotonic) in all:
// a peer that trickles bytes, even inside one TLS record, cannot hold the
// caller past it. The socket is non-blocking by then. At the deadline it
// gives -1 with errno EAGAIN, as the receive time-out did.
int rc_read(SSL *ssl, void *buf, int n, double deadline)
{
    const int fd = SSL_get_fd(ssl);
    for (;;) {
        errno = 0;
        int r = SSL_read(ssl, buf, n);
        if (r > 0)
            return r;
        int err = SSL_get_error(ssl, r);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
            return r;
        double left = deadline - VTIM_mono();
        struct pollfd p = {fd, static_cast<short>(err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT),
                           0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left * 1000) + 1) == 0) {
            errno = EAGAIN;
            return -1;
        }
    }
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}
bool is_eol(char c)
{
    return c == '\r' || c == '\n';
}

// Replace the line end at p with NUL and step over it: CR LF is one line end.
char *end_line(char *p)
{
    bool crlf = p[0] == '\r' && p[1] == '\n';
    *p = '\0';
    return p + (crlf ? 2 : 1);
}

void split_complaint(FILE *console, const char *tagged)
{
    // The console copy carries no level tag.
    if (console != nullptr) {
        const char *text = tagged;
        if (std::strncmp(text, "[WARN] ", 7) == 0)
            text += 7;
        std::fputs(text, console);
        std::fputc('\n', console);
    } else {
        int prio = VLOG_Priority(tagged);
        VLOG_At(prio < 0 ? LOG_WARNING : prio, "%s", tagged);
    }
}

FILE *console_of(const rc_caller *c)
{
    if (c->voice != rc_voice::CONSOLE)
        return nullptr;
    return c->console != nullptr ? c->console : stdout;
}

// After a failed TLS call: the console gets the OpenSSL error queue; daemons
// drop it so that stale entries do not pile up for the next exchange.
void tls_errors(const rc_caller *c)
{
    FILE *con = console_of(c);
    if (con != nullptr) {
        ERR_print_errors_fp(con);
        std::fflush(con);
    } else {
        ERR_clear_error();
    }
}

// A master server that hangs up while we write (its FIN, then its reset)
// makes the next write fail with EPIPE and raise SIGPIPE, which would end a
// reporting program that does not ignore it. The signal is held back in this
// thread while it talks TLS, and one raised by our own writes is taken back;
// the write itself then fails like any other.
struct sigpipe_guard {
    sigset_t old;
    bool was_pending;

    static sigset_t pipe_set()
    {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        return set;
    }
    static bool pending()
    {
        sigset_t set;
        sigpending(&set);
        return sigismember(&set, SIGPIPE) == 1;
    }
    sigpipe_guard()
    {
        sigset_t set = pipe_set();
        was_pending = pending();
        AZ(pthread_sigmask(SIG_BLOCK, &set, &old));
    }
    ~sigpipe_guard()
    {
        sigset_t set = pipe_set();
        if (!was_pending && pending()) {
            const timespec zero = {0, 0};
            int saved = errno;
            (void)sigtimedwait(&set, nullptr, &zero);
            errno = saved;
        }
        AZ(pthread_sigmask(SIG_SETMASK, &old, nullptr));
    }
    sigpipe_guard(const sigpipe_guard &) = delete;
    sigpipe_guard &operator=(const sigpipe_guard &) = delete;
};

// Writes all of buf, or reports the failure in the caller's voice.
int tls_write(const rc_caller *c, SSL *ssl, const char *buf, ssize_t len)
{
    if (len == 0)
        return 0; // nothing to send; a zero-length TLS write reports failure
    errno = 0;
    int r = SSL_write(ssl, buf, (int)len);
    if (r == len)
        return 0;
    int e = errno;
    FILE *con = console_of(c);
    if (con != nullptr) {
        std::fprintf(con, "[WARN] SSL_write(3) failed: %d %s\n", e, std::strerror(e));
    } else {
        VLOG("[WARN] SSL_write(3) failed: %d %s", e, std::strerror(e));
    }
    if (rc.verify) {
        long v = SSL_get_verify_result(ssl);
        if (v != X509_V_OK) {
            if (con != nullptr)
                std::fprintf(con, "[WARN] Certificate of %s refused: %s\n", VEL_MASTER_HOST,
                             X509_verify_cert_error_string(v));
            else
                VLOG("[WARN] Certificate of %s refused: %s", VEL_MASTER_HOST,
                     X509_verify_cert_error_string(v));
        }
    }
    tls_errors(c);
    return -1;
}

void read_answer(const rc_caller *c, SSL *ssl, rc_answer *ans)
{
    ans->len = 0;
    const double deadline = VTIM_mono() + rc.answer_wait;
    (void)VTCP_nonblocking(SSL_get_fd(ssl));
    while (ans->len < RC_ANSWER_MAX) {
        int r = rc_read(ssl, ans->buf + ans->len, (int)(RC_ANSWER_MAX - ans->len), deadline);
        if (r <= 0) {
            FILE *con = console_of(c);
            if (r == -1 && con != nullptr) {
                int e = errno;
                std::fprintf(con, "[ERROR] SSL_read(3) failed: %d %s\n", e, std::strerror(e));
            }
            if (r < 0)
                tls_errors(c);
            break;
        }
        ans->len += (size_t)r;
    }
    ans->buf[ans->len] = '\0';
    ans->body = nullptr;
    ans->split = splitResponse(ans->buf, &ans->body, ans->hdr, console_of(c));
}

// Wait until the peer's TCP has acknowledged everything written on fd, so the
// request sits with the peer even if this process dies now; bounded by the
// socket's timeout.
void wait_acknowledged(int fd)
{
    double end = VTIM_mono() + VTCP_TIMEOUT_SEC;
    int queued = 0;
    while (ioctl(fd, SIOCOUTQ, &queued) == 0 && queued > 0 && VTIM_mono() < end)
        (void)usleep(1000);
}

// The answer nobody reads is still bounded like one that is: RC_ANSWER_MAX
// bytes and the answer's wait in all.
void drain_answer(SSL *ssl)
{
    char scratch[RC_SCRATCH];
    const double deadline = VTIM_mono() + rc.answer_wait;
    (void)VTCP_nonblocking(SSL_get_fd(ssl));
    size_t got = 0;
    int r;
    while (got < RC_ANSWER_MAX &&
           (r = rc_read(ssl, scratch, (int)std::min(sizeof scratch, RC_ANSWER_MAX - got),
                        deadline)) > 0)
        got += (size_t)r;
    ERR_clear_error();
}

} // namespace

int RC_InitCA(const char *cafile)
{
    RC_Fini();
    SSL_load_error_strings();
    SSL_library_init();
    OpenSSL_add_all_algorithms();
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr)
        return -1;
    SSL_CTX_set_read_ahead(ctx, 1);
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // The answer is read until the server closes; a close without TLS
    // shutdown ends it like any other end of stream.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    bool verify = cafile != nullptr && *cafile != '\0';
    if (verify) {
        if (SSL_CTX_load_verify_locations(ctx, cafile, nullptr) != 1) {
            SSL_CTX_free(ctx);
            return -1;
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    }
    rc.ctx = ctx;
    rc.verify = verify;
    return 0;
}

int RC_Init(void)
{
    return RC_InitCA(VEL_MASTER_CAFILE);
}

void RC_InitOrExit(void)
{
    if (RC_Init() == 0)
        return;
    std::fputs("Can't initialize SSLv23 context.\n", stderr);
    ERR_print_errors_fp(stderr);
    std::exit(1);
}

SSL_CTX *RC_Context(void)
{
    return rc.ctx;
}

void RC_SetAnswerWait(double seconds)
{
    rc.answer_wait = seconds > 0 ? seconds : VTCP_TIMEOUT_SEC;
}

void RC_Fini(void)
{
    if (rc.ctx != nullptr)
        SSL_CTX_free(rc.ctx);
    rc.ctx = nullptr;
    rc.verify = false;
}

const char *RC_Endpoint(bool alternate)
{
    return alternate ? VEL_MASTER_ALT_IP ":443" : VEL_MASTER_HOST ":443";
}

int RC_Header(struct vsb *s, const char *path, ssize_t bodylen)
{
    VSB_format(s,
               "POST %s HTTP/1.1\r\n"
               "Accept: text/plain\r\n"
               "Connection: close\r\n"
               "Content-Length: %zd\r\n"
               "Content-Type: application/x-www-form-urlencoded\r\n"
               "Host: %s\r\n"
               "\r\n",
               path, bodylen, VEL_MASTER_HOST);
    return VSB_len(s) < 0 ? -1 : 0;
}

int RC_Transmit(const rc_caller *c, const char *endpoint, const rc_request *rq, rc_answer *ans)
{
    AN(c);
    AN(rq);
    AN(rc.ctx);
    FILE *con = console_of(c);

    int fd = VSS_open(endpoint, RC_CONNECT_TMO);
    if (fd < 0) {
        int e = errno;
        switch (c->voice) {
        case rc_voice::LOG_UNTAGGED:
            VLOG_At(LOG_WARNING, "VSS_open(2) error: %d %s", e, std::strerror(e));
            break;
        case rc_voice::LOG_TAGGED:
            VLOG("[WARN] VSS_open(2) error: %d %s", e, std::strerror(e));
            break;
        case rc_voice::CONSOLE:
            std::fprintf(con, "[WARN] VSS_open(2) error: %d %s\n", e, std::strerror(e));
            break;
        }
        return -1;
    }
    VAS_ASSERT_TEXT((VTCP_blocking(fd)) == 0, "(VTCP_blocking(fd)) == 0");
    VTCP_setTimeout(fd);

    struct vsb *body = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    AN(body);
    if (rq->fill != nullptr)
        rq->fill(body, rq->priv);
    AZ(VSB_finish(body));
    struct vsb *req = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    AN(req);
    if (rq->path != nullptr)
        RC_Header(req, rq->path, VSB_len(body));
    if (rq->onewrite)
        VSB_bcat(req, VSB_data(body), VSB_len(body));
    AZ(VSB_finish(req));

    int result = -1;
    {
        sigpipe_guard guard;
        SSL *ssl = SSL_new(rc.ctx);
        if (ssl == nullptr) {
            if (con != nullptr)
                std::fputs("[ERROR] SSL_new(3) failed.\n", con);
            else
                VLOG("[ERROR] SSL_new(3) failed.\n");
            tls_errors(c);
        } else {
            SSL_set_connect_state(ssl);
            VAS_ASSERT_TEXT(SSL_set_fd(ssl, fd) == 1, "SSL_set_fd(ssl, fd) == 1");
            if (rc.verify) {
                // The certificate must name the master, whichever address we reached.
                VAS_ASSERT(SSL_set_tlsext_host_name(ssl, VEL_MASTER_HOST) == 1);
                VAS_ASSERT(SSL_set1_host(ssl, VEL_MASTER_HOST) == 1);
            }
            // The handshake happens inside the first write.
            if (tls_write(c, ssl, VSB_data(req), VSB_len(req)) == 0 &&
                (rq->onewrite || tls_write(c, ssl, VSB_data(body), VSB_len(body)) == 0)) {
                if (rq->sent != nullptr) {
                    wait_acknowledged(fd);
                    rq->sent(rq->sent_priv);
                }
                if (ans != nullptr)
                    read_answer(c, ssl, ans);
                else
                    drain_answer(ssl);
                result = 0;
            }
            SSL_free(ssl);
        }
    }
    VSB_delete(body);
    VSB_delete(req);
    VAS_ASSERT_TEXT((close(fd)) == 0, "(close(fd)) == 0");
    if (con != nullptr)
        std::fflush(con);
    return result;
}

int RC_Post(const rc_caller *c, const char *endpoint, const char *path, rc_body_f fill, void *priv,
            bool need200, rc_sent_f sent, void *sent_priv)
{
    rc_request rq = {path, fill, priv, false, sent, sent_priv};
    auto ans = std::make_unique<rc_answer>();
    if (RC_Transmit(c, endpoint, &rq, ans.get()) != 0) {
        VSTAT_Report(false);
        return -1;
    }
    // The status file counts only an answer of 200 as a report that arrived,
    // whatever the caller makes of the others.
    if (ans->split != 0) {
        VLOG("[WARN] Failed to parse HTTP response.");
        VSTAT_Report(false);
        return need200 ? -1 : 0;
    }
    if (RC_Status(ans->hdr[1]) != 200) {
        VLOG("[WARN] Unexpected HTTP status: %s", ans->hdr[1]);
        VSTAT_Report(false);
        return need200 ? -1 : 0;
    }
    VSTAT_Report(true);
    return 0;
}

namespace
{
struct raw_body {
    const char *p;
    ssize_t len;
};
void fill_raw(struct vsb *body, void *priv)
{
    auto *rb = static_cast<raw_body *>(priv);
    VSB_bcat(body, rb->p, rb->len);
}
} // namespace

int RC_Send(const rc_caller *c, const char *endpoint, const char *path, const char *body,
            ssize_t bodylen)
{
    raw_body rb = {body, bodylen};
    rc_request rq = {path, fill_raw, &rb, true};
    int r = RC_Transmit(c, endpoint, &rq, nullptr);
    VSTAT_Report(r == 0); // the answer is not read: sent in full counts
    return r;
}

long RC_Status(const char *status)
{
    if (status == nullptr)
        return 0;
    return std::strtol(status, nullptr, 10);
}

int splitResponse(char *buf, char **body, char **arr, FILE *console)
{
    AN(buf);
    AN(body);
    AN(arr);
    for (int i = 0; i < RC_SPLIT_MAX; i++)
        arr[i] = nullptr;
    char *p = buf;

    while (is_blank(*p) || is_eol(*p))
        p++;
    if (*p == '\0')
        return -1;
    arr[0] = p;
    while (*p != '\0' && !is_blank(*p) && !is_eol(*p))
        p++;
    if (*p == '\0')
        return -1;
    if (is_eol(*p)) {
        split_complaint(console, "[WARN] Too early CRLF after PROTO.");
        return -1;
    }
    *p++ = '\0';
    while (is_blank(*p))
        p++;

    if (is_eol(*p)) {
        split_complaint(console, "[WARN] Too early CRLF after STATUS.");
        return -1;
    }
    if (*p == '\0')
        return -1;
    arr[1] = p;
    while (*p != '\0' && !is_blank(*p) && !is_eol(*p))
        p++;
    if (*p == '\0')
        return -1;
    if (is_eol(*p)) {
        p = end_line(p);
    } else {
        *p++ = '\0';
        while (is_blank(*p))
            p++;
        arr[2] = p;
        while (*p != '\0' && !is_eol(*p))
            p++;
        if (*p == '\0')
            return -1;
        p = end_line(p);
    }

    int n = 3;
    while (*p != '\0') {
        if (n == RC_SPLIT_MAX) {
            split_complaint(console, "Too long headers.");
            return -1;
        }
        if (is_eol(*p))
            break;
        arr[n++] = p;
        while (*p != '\0' && !is_eol(*p))
            p++;
        if (*p != '\0')
            p = end_line(p);
    }
    if (*p != '\0')
        p = end_line(p); // step over the empty line
    *body = p;
    return 0;
}
