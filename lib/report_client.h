// Master-server report client: one HTTPS POST with a form body over a fresh
// TLS connection per exchange, then close.
//
// Start-up: RC_Init (or RC_InitOrExit in a daemon) creates the one TLS client
// context of the process. An exchange is either parsed (the answer is read
// into RC_ANSWER_MAX bytes and split into status line, header lines and body)
// or fire-and-forget (the answer is read and thrown away until the peer
// closes, an error or the receive time-out). Either way at most RC_ANSWER_MAX
// bytes are read, within the receive time-out for the whole answer.
//
// Each program words its messages a little differently; struct rc_caller
// names the variant, so that every caller keeps its own log lines.
#pragma once

#include <cstddef>
#include <cstdio>
#include <sys/types.h>

struct vsb;
typedef struct ssl_ctx_st SSL_CTX;

constexpr int RC_PORT = 443;
constexpr double RC_CONNECT_TMO = 10.0; // seconds for the TCP connect
constexpr size_t RC_ANSWER_MAX = 8192;  // bytes of an answer that are kept
constexpr int RC_SPLIT_MAX = 64;        // protocol, status, reason + 61 header lines
constexpr size_t RC_SCRATCH = 8192;     // read size of the fire-and-forget style

// How a program reports the exchange's problems.
enum class rc_voice {
    // velumond, vellmond: "VSS_open(2) error: %d %s" without a tag, at warning level.
    LOG_UNTAGGED,
    // velcrond, velmeshd: "[WARN] VSS_open(2) error: %d %s".
    LOG_TAGGED,
    // velinit: every message printed on a console stream, the OpenSSL error
    // queue dumped after a failed TLS call, a failing read reported.
    CONSOLE,
};

struct rc_caller {
    rc_voice voice;
    FILE *console; // CONSOLE only; null means stdout
};

// Process-wide TLS client context. 0, or -1 with the reasons left in the
// OpenSSL error queue. cafile null or empty: the master's certificate is not
// verified; otherwise its chain must verify against cafile and its name must
// be VEL_MASTER_HOST, or the exchange is refused.
int RC_Init(void);
int RC_InitCA(const char *cafile);
// Daemon start-up: RC_Init, or "Can't initialize SSLv23 context." and the
// error queue on standard error and exit status 1.
void RC_InitOrExit(void);
SSL_CTX *RC_Context(void);
// Drop the context (tests switch between verifying and not).
void RC_Fini(void);
// Seconds an answer may take in all, however its bytes are paced (both
// styles read at most RC_ANSWER_MAX bytes of it); 0 restores the receive
// time-out of VTCP_TIMEOUT_SEC. Tests shorten it.
void RC_SetAnswerWait(double seconds);

// "host:443" of the master server, or with alternate its private address.
const char *RC_Endpoint(bool alternate);

// Append the request header block for a body of bodylen bytes; the Host line
// always names the master's host name. Gives VSB_len's -1 on a latched error.
int RC_Header(struct vsb *s, const char *path, ssize_t bodylen);

// Builds the form body once the connection is up; appends to body.
using rc_body_f = void (*)(struct vsb *body, void *priv);

// Told that a request has gone out in full: written, and acknowledged by the
// peer's TCP (or the wait for that ran out).
using rc_sent_f = void (*)(void *priv);

struct rc_request {
    const char *path;
    rc_body_f fill;
    void *priv;
    bool onewrite; // header block and body in one TLS write
    rc_sent_f sent = nullptr;
    void *sent_priv = nullptr;
};

// The answer of a parsed exchange, split in place.
struct rc_answer {
    char buf[RC_ANSWER_MAX + 1];
    size_t len;              // bytes received, at most RC_ANSWER_MAX
    int split;               // splitResponse's result
    char *hdr[RC_SPLIT_MAX]; // [0] protocol, [1] status, [2] reason or null, [3..] lines
    char *body;              // valid when split == 0
};

// One exchange with endpoint. ans null: fire-and-forget; otherwise parsed,
// and ans holds what arrived and how it split. Gives -1 when the connection,
// the TLS session or a write failed (messages in the caller's voice), else 0.
int RC_Transmit(const rc_caller *c, const char *endpoint, const rc_request *rq, rc_answer *ans);

// Parsed style with the usage and log monitors' answer handling: a split
// failure logs "[WARN] Failed to parse HTTP response.", a status other than
// 200 "[WARN] Unexpected HTTP status: %s". need200 false: 0 whenever the
// request went out in full; true: 0 only for a split answer with status 200.
// sent, when given, is called as soon as the request has gone out in full,
// before the answer is awaited: a caller that counts the request as delivered
// from then on can record that before a slow answer.
int RC_Post(const rc_caller *c, const char *endpoint, const char *path, rc_body_f fill, void *priv,
            bool need200, rc_sent_f sent = nullptr, void *sent_priv = nullptr);

// Fire-and-forget style with a body already built: header block and body in
// one write, the answer discarded.
int RC_Send(const rc_caller *c, const char *endpoint, const char *path, const char *body,
            ssize_t bodylen);

// Split an answer in place: arr gets protocol, status, reason (or null) and
// one entry per header line, *body the text after the empty line. 0 or -1.
// Problems are logged, or, with console set, printed there without the
// "[WARN] " prefix.
int splitResponse(char *buf, char **body, char **arr, FILE *console = nullptr);

// The decimal value of a status field as the callers compare it.
long RC_Status(const char *status);
