// velhttpd's request reader: the header split in place, header lookup, and
// reads over a real socket pair (blank-line forms, bodies, time-out).
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "test_util.h"
#include "velhttpd_http.h"
#include "velhttpd_log.h"
#include "velhttpd_resp.h"
#include "vlog.h"
#include "vsb.h"
#include "vtim.h"

#include <thread>

using test_util::has_line;

namespace
{
// A request written into a socket pair, the writer then shut down.
struct wired_peer {
    http_peer conn;
    int sv[2];
    explicit wired_peer(const std::string &data)
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        EXPECT_EQ(http_peer_init(&conn, sv[0], -1, 4096), 0);
        EXPECT_EQ(write(sv[1], data.data(), data.size()), static_cast<ssize_t>(data.size()));
        shutdown(sv[1], SHUT_WR);
    }
    ~wired_peer()
    {
        http_peer_fini(&conn);
        close(sv[0]);
        close(sv[1]);
    }
    std::string hd(int i) const { return conn.hd[i] ? conn.hd[i] : "(none)"; }
};

class Http : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        test_util::logged.clear();
        VLOG_SetSink(test_util::capture);
        httpd_log_reset();
    }
    void TearDown() override { VLOG_SetSink(nullptr); }
};

// A connection over a socket pair whose client end the test drives itself.
struct live_peer {
    http_peer conn;
    int sv[2];
    live_peer()
    {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        EXPECT_EQ(http_peer_init(&conn, sv[0], -1, 4096), 0);
    }
    ~live_peer()
    {
        http_peer_fini(&conn);
        close(sv[0]);
        close(sv[1]);
    }
};
} // namespace

TEST_F(Http, SplitHeader)
{
    const struct {
        std::string text;
        int result;
        std::vector<std::string> slots; // method, URL, protocol, header lines
    } rows[] = {
        {"GET /a HTTP/1.1\r\nHost: x\r\nA:  b c\r\n\r\n",
         0,
         {"GET", "/a", "HTTP/1.1", "Host: x", "A:  b c"}},
        {"POST /u HTTP/1.1\nA: 1\r\n\n", 0, {"POST", "/u", "HTTP/1.1", "A: 1"}},
        {"\r\n  GET \t /b  \t HTTP/1.0\n\r\n", 0, {"GET", "/b", "HTTP/1.0"}},
        {"GET /noproto\r\nH: 1\r\n\r\n", 0, {"GET", "/noproto", "(none)", "H: 1"}},
        {"GET\r\n\r\n", -1, {}},
        {"GET   \r\n\r\n", -1, {}},
        {"\n\n", -1, {}},
        {"GET / HTTP/1.1\r\n\r\nextra", -1, {}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        wired_peer p(r.text);
        p.conn.prxbuf = r.text.size();
        std::memcpy(p.conn.rxbuf, r.text.c_str(), r.text.size() + 1);
        ASSERT_EQ(http_splitheader(&p.conn), r.result);
        for (size_t i = 0; i < r.slots.size(); i++)
            EXPECT_EQ(p.hd(static_cast<int>(i)), r.slots[i]);
        if (r.result == 0) {
            EXPECT_EQ(p.conn.hd[std::max<size_t>(r.slots.size(), 3)], nullptr);
        }
    }
    EXPECT_TRUE(has_line(LOG_ERR, "Wrong HTTP message format!"));
}

TEST_F(Http, HeaderValueByNameInAnyCase)
{
    wired_peer p("GET / HTTP/1.1\r\nContent-FilterX: no\r\ncontent-filter : no\r\n"
                 "CONTENT-FILTER:\t -status 1\r\nContent-Filter: second\r\nEmpty:\r\n\r\n");
    ASSERT_EQ(http_read_request(&p.conn), 1);
    EXPECT_STREQ(http_header_value(&p.conn, "content-filter"), "-status 1");
    EXPECT_STREQ(http_header_value(&p.conn, "empty"), "");
    EXPECT_EQ(http_header_value(&p.conn, "host"), nullptr);
}

TEST_F(Http, HeaderEndsAtEachBlankLineForm)
{
    for (const char *end : {"\n\n", "\r\n\r\n", "\n\r\n", "\r\n\n"}) {
        const std::string head = std::string("GET / HTTP/1.1\r\nA: 1") + end;
        wired_peer p(head + "NEXT");
        EXPECT_EQ(http_rxhdr(&p.conn, p.conn.sock), 1);
        EXPECT_EQ(std::string(p.conn.rxbuf, p.conn.prxbuf), head);
        char rest[8] = {};
        EXPECT_EQ(recv(p.sv[0], rest, sizeof rest, 0), 4); // nothing read past the blank line
    }
}

TEST_F(Http, Bodies)
{
    const struct {
        std::string request; // after the request line
        int result;
        std::string body;
    } rows[] = {
        {"Content-Length: 5\r\n\r\nhello", 1, "hello"},
        {"content-length: 0x5\r\n\r\nhello", 1, "hello"},
        {"Content-Length: 010\r\n\r\n12345678", 1, "12345678"}, // octal
        {"Content-Length: 5\r\n\r\nhel", -1, ""},
        {"Content-Length: 4096\r\n\r\n", -1, ""}, // beyond the buffer
        {"Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n4\r\ndefg\r\n0\r\n\r\n", 1, "abcdefg"},
        {"Transfer-Encoding: chunked\r\n\r\nA \r\n0123456789\r\n0\r\n\r\n", 1, "0123456789"},
        {"Transfer-Encoding: chunked\r\n\r\n3;ext=1\r\nabc\r\n0\r\n\r\n", -1, ""},
        {"Transfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\nTrailer: x\r\n\r\n", -1, ""},
        {"Transfer-Encoding: chunked\r\n\r\nzz\r\n", -1, ""},
        {"Transfer-Encoding: chunked\r\n\r\n3\r\nabcd\r\n0\r\n\r\n", -1, ""},
        {"Transfer-Encoding: chunked\r\n\r\n3", -1, ""}, // closed before the line feed
        {"Transfer-Encoding: gzip, chunked\r\n\r\n", 1, ""},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.request);
        wired_peer p("POST /x HTTP/1.1\r\n" + r.request);
        ASSERT_EQ(http_read_request(&p.conn), r.result);
        if (r.result == 1) {
            EXPECT_EQ(std::string(p.conn.rxbuf + p.conn.body, p.conn.bodylen), r.body);
        }
    }
    EXPECT_TRUE(has_line(LOG_ERR, "HTTP request too large (42 bytes received, 4096 more wanted)"));
}

// The silent client's time-out is seen end to end.
TEST_F(Http, PeerGone)
{
    wired_peer gone("GET / HT");
    EXPECT_EQ(http_read_request(&gone.conn), 0);
    EXPECT_TRUE(has_line(LOG_ERR, "HTTP rx failed (No data available)"));
}

// A client that sends a byte every so often never lets a single wait expire,
// yet the request as a whole ends at its deadline.
TEST_F(Http, ATricklingClientIsCutOffAtTheRequestDeadline)
{
    live_peer p;
    p.conn.timeout = 0.5;
    p.conn.request_deadline = 0.3;
    const std::string req = "GET / HTTP/1.1\r\nX: aaaaaaaaaaaaaaaaaaaaaaaa\r\n\r\n";
    std::thread client([&] {
        for (char c : req) {
            if (send(p.sv[1], &c, 1, MSG_NOSIGNAL) != 1)
                break;
            usleep(40000);
        }
    });
    double t0 = VTIM_mono();
    int r = http_read_request(&p.conn);
    double took = VTIM_mono() - t0;
    shutdown(p.sv[1], SHUT_RDWR);
    client.join();
    EXPECT_EQ(r, 0);
    EXPECT_LT(took, 1.0);
    EXPECT_TRUE(has_line(LOG_ERR, "HTTP select failed (i 0 poll: 110 Connection timed out)"));
}

// A generated body goes out whole and exactly as synth_body makes it, from a
// response buffer that holds only the header.
TEST_F(Http, AGeneratedBodyIsSentPieceByPiece)
{
    live_peer p;
    std::vector<std::string> tokens = {"-bodylen", "100003"};
    const char *err = nullptr;
    ASSERT_EQ(httpd_txresp_build(tokens, p.conn.vsb, &err, &p.conn.synthlen), 0);
    EXPECT_EQ(p.conn.synthlen, 100003u);
    const std::string head = "HTTP/1.1 200 Ok\r\nContent-Length: 100003\r\n\r\n";
    EXPECT_EQ(static_cast<size_t>(VSB_len(p.conn.vsb)), head.size());
    std::string got;
    std::thread client([&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(p.sv[1], buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
    });
    EXPECT_EQ(http_write(&p.conn), 0);
    shutdown(p.sv[0], SHUT_WR);
    client.join();
    size_t len = 0;
    char *body = synth_body("100003", &len, &err);
    ASSERT_NE(body, nullptr);
    EXPECT_TRUE(got == head + std::string(body, len)) << got.size();
    std::free(body);
}

// A client that reads a little now and then keeps each send going, but the
// response as a whole ends at its deadline.
TEST_F(Http, ASlowReaderIsCutOffAtTheSendDeadline)
{
    live_peer p;
    p.conn.timeout = 0.3;
    p.conn.tx_min_rate = 1e12; // the deadline is the time-out alone
    int small = 4096;
    setsockopt(p.sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::vector<std::string> tokens = {"-bodylen", "16777216"};
    const char *err = nullptr;
    ASSERT_EQ(httpd_txresp_build(tokens, p.conn.vsb, &err, &p.conn.synthlen), 0);
    bool stop = false;
    std::thread client([&] {
        char buf[512];
        while (!stop && read(p.sv[1], buf, sizeof buf) > 0)
            usleep(20000);
    });
    double t0 = VTIM_mono();
    EXPECT_EQ(http_write(&p.conn), -1);
    EXPECT_LT(VTIM_mono() - t0, 2.0);
    stop = true;
    shutdown(p.sv[0], SHUT_RDWR);
    client.join();
    EXPECT_TRUE(has_line(LOG_ERR, "Write to velrun failed: Connection timed out"));
}
