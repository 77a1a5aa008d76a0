// One HTTP connection of velhttpd and the reading of its request: the header
// one byte at a time up to the blank line, split in place into method, URL,
// protocol and header lines, then the body (content-length or chunked), read
// only to consume it.
#pragma once

#include <cstddef>
#include <cstdint>

struct vsb;

constexpr uint32_t HTTP_PEER_MAGIC = 0x2f02169c;
// Receive buffer of a connection; the whole request must fit in it.
constexpr size_t HTTP_RXBUF_SIZE = 2097152;
// Wait limit for each read, in seconds.
constexpr double HTTP_TIMEOUT = 60;
// Reading one whole request (header and body) ends this long after it began,
// however the client paces its bytes: a byte every few seconds must not hold
// a connection slot for ever.
constexpr double HTTP_REQUEST_DEADLINE = 60;
// A response goes out within HTTP_TIMEOUT seconds plus one second per
// HTTP_TX_MIN_RATE bytes (16 MiB: about five minutes), so a client reading a
// few bytes a minute cannot hold its connection either.
constexpr double HTTP_TX_MIN_RATE = 65536;
// Generated bodies are made and sent in pieces of this size, so a connection
// costs the same memory whatever body length it asks for.
constexpr size_t HTTP_TX_PIECE = 16384;
// Request slots: 0 method, 1 URL, 2 protocol (may be absent), 3.. header lines.
constexpr int HTTP_HDR_MAX = 50;
constexpr int HTTP_HDR_FIRST = 3;

struct http_peer {
    uint32_t magic;
    int sock;
    int listen_sock; // kept for the record, never used
    double timeout;  // seconds
    double request_deadline; // seconds for a whole request, HTTP_REQUEST_DEADLINE
    double deadline;         // monotonic end of the current read or send; 0: none
    double tx_min_rate;      // bytes a second a response's deadline allows for, HTTP_TX_MIN_RATE
    char *rxbuf;
    size_t nrxbuf;
    size_t prxbuf; // bytes received; rxbuf[prxbuf] is always NUL
    char *hd[HTTP_HDR_MAX + 1];
    char *url; // copy of the URL, owned
    size_t body;
    size_t bodylen;
    struct vsb *vsb; // the response being built
    size_t synthlen; // generated body bytes sent after vsb's (made while sending)
};

// Sets up conn for an accepted socket with a receive buffer of rxsize bytes
// and an empty response buffer. -1 when a buffer cannot be had (conn is then
// still safe to pass to http_peer_fini).
int http_peer_init(http_peer *conn, int sock, int listen_sock, size_t rxsize = HTTP_RXBUF_SIZE);
// Frees what http_peer_init and the request took; the socket stays open.
void http_peer_fini(http_peer *conn);

// Reads until n more bytes have arrived: 1 when they have, 0 when the peer
// closed or a wait timed out, -1 on a failed read or wait, or when the bytes
// would not fit in the receive buffer.
int http_rxchar_eof(http_peer *conn, int sock, size_t n);
// The same, logging "HTTP rx failed (...)" when the result is 0 or less.
int http_rxchar(http_peer *conn, int sock, size_t n);
// Reads the request header up to and including its blank line.
int http_rxhdr(http_peer *conn, int sock);
// Splits the header in rxbuf in place into conn->hd; 0 or -1.
int http_splitheader(http_peer *conn);
// Value of the first header line named name (any case), or null.
const char *http_header_value(const http_peer *conn, const char *name);
// Reads the body the header announces; 0 or -1.
int http_read_body(http_peer *conn, int sock);
// Header, split, body: 1 when the whole request was read, else 0 or -1.
int http_read_request(http_peer *conn);
// Finishes the response buffer and sends all of it, then synthlen bytes of
// generated body made piece by piece; 0 or -1 (logged). The whole response
// must go out within its send deadline.
int http_write(http_peer *conn);
