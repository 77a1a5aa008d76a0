// Report client: answer splitting, the request header block, and whole
// exchanges against an in-process TLS server on loopback.
#include "report_client.h"
#include "vel_config.h"
#include "vlog.h"
#include "vsb.h"
#include "vtim.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

std::vector<std::pair<int, std::string>> logged;
void capture(int prio, const char *line)
{
    logged.emplace_back(prio, line);
}

struct LogCapture {
    LogCapture()
    {
        logged.clear();
        VLOG_SetSink(capture);
    }
    ~LogCapture() { VLOG_SetSink(nullptr); }
};

bool logged_line(int prio, const std::string &text)
{
    for (const auto &l : logged)
        if (l.first == prio && l.second == text)
            return true;
    return false;
}

struct Split {
    std::string data;
    char *body = nullptr;
    char *arr[RC_SPLIT_MAX];
    int r;
    explicit Split(std::string s, FILE *console = nullptr) : data(std::move(s))
    {
        r = splitResponse(data.data(), &body, arr, console);
    }
};

std::string headers(int n, const char *eol = "\r\n")
{
    std::string s = std::string("HTTP/1.1 200 OK") + eol;
    for (int i = 0; i < n; i++)
        s += "X-H" + std::to_string(i) + ": v" + eol;
    return s + eol + "body";
}

TEST(SplitResponse, StatusLineForms)
{
    Split ok("HTTP/1.1 200 OK\r\n\r\n");
    ASSERT_EQ(ok.r, 0);
    EXPECT_STREQ(ok.arr[0], "HTTP/1.1");
    EXPECT_STREQ(ok.arr[1], "200");
    EXPECT_STREQ(ok.arr[2], "OK");
    EXPECT_EQ(ok.arr[3], nullptr);
    EXPECT_STREQ(ok.body, "");

    Split noreason("HTTP/1.1 200\r\nA: b\r\n\r\nx");
    ASSERT_EQ(noreason.r, 0);
    EXPECT_EQ(noreason.arr[2], nullptr);
    EXPECT_STREQ(noreason.arr[3], "A: b");
    EXPECT_STREQ(noreason.body, "x");

    // Leading blank lines, several blanks, a multi-word reason.
    Split loose("\r\n  HTTP/1.0   418 \t I'm a teapot\r\n\r\nno");
    ASSERT_EQ(loose.r, 0);
    EXPECT_STREQ(loose.arr[1], "418");
    EXPECT_STREQ(loose.arr[2], "I'm a teapot");
    EXPECT_STREQ(loose.body, "no");
}

TEST(SplitResponse, BareLineFeedsAndBody)
{
    Split lf("HTTP/1.1 200 OK\nServer: x\nB: y\n\n10.9.0.1:KR\n");
    ASSERT_EQ(lf.r, 0);
    EXPECT_STREQ(lf.arr[3], "Server: x");
    EXPECT_STREQ(lf.arr[4], "B: y");
    EXPECT_EQ(lf.arr[5], nullptr);
    EXPECT_STREQ(lf.body, "10.9.0.1:KR\n"); // the body keeps its line end

    // Header value with a colon stays one entry; body lines are not split.
    Split h("HTTP/1.1 200 OK\r\nLocation: http://a:1/\r\n\r\nl1\r\nl2");
    ASSERT_EQ(h.r, 0);
    EXPECT_STREQ(h.arr[3], "Location: http://a:1/");
    EXPECT_STREQ(h.body, "l1\r\nl2");

    // No empty line: the body is the empty string at the end of the data.
    Split noend("HTTP/1.1 200 OK\r\nA: b");
    ASSERT_EQ(noend.r, 0);
    EXPECT_STREQ(noend.arr[3], "A: b");
    EXPECT_STREQ(noend.body, "");
}

TEST(SplitResponse, FailuresAndTheirTexts)
{
    LogCapture lc;
    EXPECT_EQ(Split("HTTP/1.1\r\n\r\n").r, -1);
    EXPECT_TRUE(logged_line(LOG_WARNING, "[WARN] Too early CRLF after PROTO."));
    EXPECT_EQ(Split("HTTP/1.1 \r\n\r\n").r, -1);
    EXPECT_TRUE(logged_line(LOG_WARNING, "[WARN] Too early CRLF after STATUS."));

    logged.clear();
    // The data ends inside the status line: a silent failure.
    EXPECT_EQ(Split("").r, -1);
    EXPECT_EQ(Split("HTTP/1.1").r, -1);
    EXPECT_EQ(Split("HTTP/1.1 200").r, -1);
    EXPECT_EQ(Split("HTTP/1.1 200 OK").r, -1);
    EXPECT_TRUE(logged.empty());
}

TEST(SplitResponse, SixtyOneHeaderLinesAreTooMany)
{
    LogCapture lc;
    Split sixty(headers(60));
    ASSERT_EQ(sixty.r, 0);
    EXPECT_STREQ(sixty.arr[62], "X-H59: v");
    EXPECT_EQ(sixty.arr[63], nullptr);
    EXPECT_STREQ(sixty.body, "body");
    EXPECT_TRUE(logged.empty());

    EXPECT_EQ(Split(headers(61)).r, -1);
    EXPECT_TRUE(logged_line(LOG_WARNING, "Too long headers."));
    EXPECT_EQ(Split(headers(61, "\n")).r, -1);
}

TEST(SplitResponse, ConsoleCopyHasNoTag)
{
    char out[256] = {};
    FILE *con = fmemopen(out, sizeof out - 1, "w");
    ASSERT_NE(con, nullptr);
    LogCapture lc;
    EXPECT_EQ(Split("HTTP/1.1\n", con).r, -1);
    EXPECT_EQ(Split("HTTP/1.1 \n", con).r, -1);
    EXPECT_EQ(Split(headers(61), con).r, -1);
    fclose(con);
    EXPECT_STREQ(out, "Too early CRLF after PROTO.\nToo early CRLF after STATUS.\n"
                      "Too long headers.\n");
    EXPECT_TRUE(logged.empty());
}

TEST(ReportClient, HeaderBlockBytes)
{
    struct vsb *s = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    ASSERT_EQ(RC_Header(s, "/report/umon.php", 1234), 0);
    ASSERT_EQ(VSB_finish(s), 0);
    EXPECT_EQ(std::string(VSB_data(s)),
              std::string("POST /report/umon.php HTTP/1.1\r\n"
                          "Accept: text/plain\r\n"
                          "Connection: close\r\n"
                          "Content-Length: 1234\r\n"
                          "Content-Type: application/x-www-form-urlencoded\r\n"
                          "Host: ") +
                  VEL_MASTER_HOST + "\r\n\r\n");
    VSB_delete(s);
    EXPECT_EQ(std::string(RC_Endpoint(false)), std::string(VEL_MASTER_HOST) + ":443");
    EXPECT_EQ(std::string(RC_Endpoint(true)), std::string(VEL_MASTER_ALT_IP) + ":443");
}

// ---- A TLS server on loopback ----------------------------------------------

struct Cert {
    EVP_PKEY *key = nullptr;
    X509 *x509 = nullptr;
    std::string pem_path;

    explicit Cert(const char *dns)
    {
        key = EVP_EC_gen("P-256");
        x509 = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
        X509_gmtime_adj(X509_getm_notBefore(x509), -3600);
        X509_gmtime_adj(X509_getm_notAfter(x509), 3600);
        X509_set_pubkey(x509, key);
        X509_NAME *name = X509_get_subject_name(x509);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)dns, -1, -1, 0);
        X509_set_issuer_name(x509, name);
        X509V3_CTX v3;
        X509V3_set_ctx_nodb(&v3);
        X509V3_set_ctx(&v3, x509, x509, nullptr, nullptr, 0);
        std::string san = std::string("DNS:") + dns;
        X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, san.c_str());
        X509_add_ext(x509, ext, -1);
        X509_EXTENSION_free(ext);
        ext = X509V3_EXT_conf_nid(nullptr, &v3, NID_basic_constraints, "critical,CA:TRUE");
        X509_add_ext(x509, ext, -1);
        X509_EXTENSION_free(ext);
        X509_sign(x509, key, EVP_sha256());
        char tmpl[] = "/tmp/rc_cert_XXXXXX";
        int fd = mkstemp(tmpl);
        FILE *fp = fdopen(fd, "w");
        PEM_write_X509(fp, x509);
        fclose(fp);
        pem_path = tmpl;
    }
    ~Cert()
    {
        unlink(pem_path.c_str());
        X509_free(x509);
        EVP_PKEY_free(key);
    }
};

// Serves one connection: reads the request (headers and Content-Length
// bytes), then answers with the given bytes and closes.
struct TlsServer {
    // GARBAGE_AFTER: the answer, then bytes that are no TLS record.
    // HANG_UP: one read of the request, then close.
    // TRICKLE: the answer one byte per TLS record, 50 ms apart, then close.
    // HOLD_OPEN: the answer, then the connection is kept until the client closes.
    enum class mode { ANSWER, CLOSE_AT_ONCE, GARBAGE_AFTER, HANG_UP, TRICKLE, HOLD_OPEN };
    int lfd = -1;
    int port = 0;
    SSL_CTX *ctx = nullptr;
    std::thread th;
    std::string request;
    int records = 0; // reads that returned data: one per TLS record here
    bool joined = false;

    TlsServer(const Cert &cert, std::string answer, mode m = mode::ANSWER)
    {
        ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(ctx, cert.x509);
        SSL_CTX_use_PrivateKey(ctx, cert.key);
        lfd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sin = {};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(lfd, (sockaddr *)&sin, sizeof sin);
        listen(lfd, 4);
        socklen_t sl = sizeof sin;
        getsockname(lfd, (sockaddr *)&sin, &sl);
        port = ntohs(sin.sin_port);
        th = std::thread([this, answer, m] { serve(answer, m); });
    }
    ~TlsServer()
    {
        finish();
        close(lfd);
        SSL_CTX_free(ctx);
    }
    // Wait for the connection to end; gives what the client sent.
    const std::string &finish()
    {
        if (!joined) {
            shutdown(lfd, SHUT_RDWR);
            th.join();
            joined = true;
        }
        return request;
    }
    std::string endpoint() const { return "127.0.0.1:" + std::to_string(port); }

    void serve(const std::string &answer, mode m)
    {
        int fd = accept(lfd, nullptr, nullptr);
        if (fd < 0)
            return;
        if (m == mode::CLOSE_AT_ONCE) {
            close(fd);
            return;
        }
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, fd);
        bool up = SSL_accept(ssl) == 1;
        if (up && m == mode::HANG_UP) {
            char buf[512];
            (void)SSL_read(ssl, buf, sizeof buf);
        } else if (up) {
            char buf[4096];
            size_t want = std::string::npos;
            while (request.size() < want) {
                int r = SSL_read(ssl, buf, sizeof buf);
                if (r <= 0)
                    break;
                records++;
                request.append(buf, r);
                size_t end = request.find("\r\n\r\n");
                size_t cl = request.find("Content-Length: ");
                if (end != std::string::npos && cl != std::string::npos)
                    want = end + 4 + std::stoul(request.substr(cl + 16));
            }
            size_t off = 0;
            while (off < answer.size()) {
                int n = m == mode::TRICKLE ? 1 : (int)(answer.size() - off);
                int r = SSL_write(ssl, answer.data() + off, n);
                if (r <= 0)
                    break;
                off += r;
                if (m == mode::TRICKLE)
                    usleep(50000);
            }
            if (m == mode::HOLD_OPEN)
                while (SSL_read(ssl, buf, sizeof buf) > 0)
                    continue;
            if (m == mode::GARBAGE_AFTER)
                (void)!write(fd, "garbage\r\n\r\n", 11);
            else
                SSL_shutdown(ssl);
        }
        SSL_free(ssl);
        close(fd);
    }
};

std::string header_for(const char *path, size_t len)
{
    struct vsb *s = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    RC_Header(s, path, (ssize_t)len);
    VSB_finish(s);
    std::string h = VSB_data(s);
    VSB_delete(s);
    return h;
}

void fill_text(struct vsb *body, void *priv)
{
    VSB_cat(body, static_cast<const char *>(priv));
}

class Exchange : public ::testing::Test
{
  protected:
    Cert cert{"localhost"};
    rc_caller daemon{rc_voice::LOG_UNTAGGED, nullptr};
    void SetUp() override { ASSERT_EQ(RC_InitCA(nullptr), 0); }
    void TearDown() override { RC_Fini(); }
};

TEST_F(Exchange, ParsedTwoWritesAndOneWrite)
{
    const char *body = "name=a&b&result[]=x y&";
    std::string want = header_for("/report/lmon.php", strlen(body)) + body;
    for (bool one : {false, true}) {
        TlsServer srv(cert, "HTTP/1.1 200 OK\r\nServer: t\r\n\r\n10.9.0.1:KR");
        rc_request rq = {"/report/lmon.php", fill_text, (void *)body, one};
        rc_answer ans;
        ASSERT_EQ(RC_Transmit(&daemon, srv.endpoint().c_str(), &rq, &ans), 0);
        ASSERT_EQ(ans.split, 0);
        EXPECT_STREQ(ans.hdr[1], "200");
        EXPECT_STREQ(ans.hdr[3], "Server: t");
        EXPECT_STREQ(ans.body, "10.9.0.1:KR");
        EXPECT_EQ(srv.finish(), want);
        EXPECT_EQ(srv.records, one ? 1 : 2);
    }
}

TEST_F(Exchange, RequestBytesOnTheWire)
{
    const char *body = "v=a&b=c&d"; // ampersand values go out as they are
    TlsServer srv(cert, "HTTP/1.1 200 OK\r\n\r\n");
    rc_request rq = {"/report/umon.php", fill_text, (void *)body, false};
    rc_answer ans;
    ASSERT_EQ(RC_Transmit(&daemon, srv.endpoint().c_str(), &rq, &ans), 0);
    EXPECT_EQ(srv.finish(), header_for("/report/umon.php", strlen(body)) + body);
}

TEST_F(Exchange, LongAnswerIsCutAt8192)
{
    std::string answer = "HTTP/1.1 200 OK\r\n\r\n" + std::string(9000, 'z');
    TlsServer srv(cert, answer);
    rc_request rq = {"/get/info.php", nullptr, nullptr, true};
    rc_answer ans;
    ASSERT_EQ(RC_Transmit(&daemon, srv.endpoint().c_str(), &rq, &ans), 0);
    EXPECT_EQ(ans.len, RC_ANSWER_MAX);
    ASSERT_EQ(ans.split, 0);
    EXPECT_EQ(strlen(ans.body), RC_ANSWER_MAX - 19);
}

TEST_F(Exchange, PostResultsPerCaller)
{
    LogCapture lc;
    struct Case {
        const char *answer;
        bool need200;
        int want;
        const char *line;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\n\r\n", true, 0, nullptr},
        {"HTTP/1.1 500 Oops\r\n\r\n", false, 0, "[WARN] Unexpected HTTP status: 500"},
        {"HTTP/1.1 500 Oops\r\n\r\n", true, -1, "[WARN] Unexpected HTTP status: 500"},
        {"garbage", false, 0, "[WARN] Failed to parse HTTP response."},
        {"garbage", true, -1, "[WARN] Failed to parse HTTP response."},
        {"", false, 0, "[WARN] Failed to parse HTTP response."},
    };
    for (const auto &c : cases) {
        logged.clear();
        TlsServer srv(cert, c.answer);
        EXPECT_EQ(RC_Post(&daemon, srv.endpoint().c_str(), "/report/lmon.php", fill_text,
                          (void *)"result[]=l&", c.need200),
                  c.want)
            << c.answer;
        if (c.line != nullptr)
            EXPECT_TRUE(logged_line(LOG_WARNING, c.line)) << c.answer;
        else
            EXPECT_TRUE(logged.empty());
    }
}

// The sent hook runs once the request is out in full, whatever the answer,
// and never for a request that did not get out.
TEST_F(Exchange, SentHookRunsOnceTheRequestIsOut)
{
    struct Seen {
        int calls = 0;
    };
    auto hook = [](void *priv) { static_cast<Seen *>(priv)->calls++; };
    for (const char *answer : {"HTTP/1.1 200 OK\r\n\r\nOK", "HTTP/1.1 500 Oops\r\n\r\n", ""}) {
        Seen seen;
        TlsServer srv(cert, answer);
        EXPECT_EQ(RC_Post(&daemon, srv.endpoint().c_str(), "/report/umon.php", fill_text,
                          (void *)"result[]=l&", false, hook, &seen),
                  0);
        EXPECT_EQ(seen.calls, 1) << answer;
        EXPECT_NE(srv.finish().find("result[]=l&"), std::string::npos);
    }
    Seen seen;
    TlsServer srv(cert, "", TlsServer::mode::CLOSE_AT_ONCE);
    EXPECT_EQ(RC_Post(&daemon, srv.endpoint().c_str(), "/report/umon.php", fill_text,
                      (void *)"result[]=l&", false, hook, &seen),
              -1);
    EXPECT_EQ(seen.calls, 0);
}

// A master (or anything in its place) that trickles its answer, or sends
// more than an answer can hold and keeps the connection, cannot stall the
// caller: both styles stop at RC_ANSWER_MAX bytes or when the answer's wait
// is over, whichever comes first.
TEST_F(Exchange, AnAnswerIsBoundedByBytesAndTime)
{
    const char *body = "mesh[]=1,2,3&";
    const struct {
        TlsServer::mode m;
        size_t len;
        double wait, within;
        bool parsed;
    } cases[] = {
        {TlsServer::mode::TRICKLE, 200, 0.4, 1.5, false}, // 10 s of bytes
        {TlsServer::mode::TRICKLE, 200, 0.4, 1.5, true},
        {TlsServer::mode::HOLD_OPEN, 20000, 20, 3, false}, // more than 8192, never closed
        {TlsServer::mode::HOLD_OPEN, 20000, 20, 3, true},
    };
    // The stand-in goes on writing after the client has gone.
    auto old = std::signal(SIGPIPE, SIG_IGN);
    for (const auto &c : cases) {
        RC_SetAnswerWait(c.wait);
        TlsServer srv(cert, "HTTP/1.1 200 OK\r\n\r\n" + std::string(c.len, 'q'), c.m);
        double t0 = VTIM_mono();
        int r = c.parsed ? RC_Post(&daemon, srv.endpoint().c_str(), "/report/lmon.php", fill_text,
                                   const_cast<char *>(body), false)
                         : RC_Send(&daemon, srv.endpoint().c_str(), "/report/mesh.php", body,
                                   strlen(body));
        EXPECT_EQ(r, 0);
        EXPECT_LT(VTIM_mono() - t0, c.within) << (int)c.m << " parsed " << c.parsed;
    }
    RC_SetAnswerWait(0);
    std::signal(SIGPIPE, old);
}

TEST_F(Exchange, FireAndForgetDrainsTheAnswer)
{
    std::string answer(50000, 'q'); // more than one scratch buffer
    TlsServer srv(cert, answer);
    const char *body = "mesh[]=1,2,3&";
    EXPECT_EQ(RC_Send(&daemon, srv.endpoint().c_str(), "/report/mesh.php", body, strlen(body)), 0);
}

std::string big_body(2 << 20, 'b');
void fill_big(struct vsb *body, void *)
{
    VSB_bcat(body, big_body.data(), (ssize_t)big_body.size());
}

TEST_F(Exchange, MasterHangingUpFailsTheWriteWithoutSigpipe)
{
    // In a child with SIGPIPE at its default action, as a daemon has it.
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGPIPE, SIG_DFL);
        LogCapture lc;
        // Some exchanges get all out before the hang-up; the others must fail
        // as a write, not end the process.
        int failed = 0;
        for (int i = 0; i < 20; i++) {
            logged.clear();
            TlsServer srv(cert, "", TlsServer::mode::HANG_UP);
            if (RC_Post(&daemon, srv.endpoint().c_str(), "/report/umon.php", fill_big, nullptr,
                        false) == -1) {
                if (logged.empty() ||
                    logged[0].second.rfind("[WARN] SSL_write(3) failed: ", 0) != 0)
                    _exit(2);
                failed++;
            }
        }
        sigset_t mask, pending;
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        sigpending(&pending);
        _exit(failed > 0 && !sigismember(&mask, SIGPIPE) && !sigismember(&pending, SIGPIPE) ? 0
                                                                                            : 1);
    }
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st)) << "killed by signal " << WTERMSIG(st);
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

TEST_F(Exchange, ConnectAndWriteFailures)
{
    LogCapture lc;
    // A port nobody listens on.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sin = {};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (sockaddr *)&sin, sizeof sin);
    socklen_t sl = sizeof sin;
    getsockname(fd, (sockaddr *)&sin, &sl);
    std::string dead = "127.0.0.1:" + std::to_string(ntohs(sin.sin_port));
    close(fd);

    rc_request rq = {"/report/cmon.php", nullptr, nullptr, true};
    EXPECT_EQ(RC_Transmit(&daemon, dead.c_str(), &rq, nullptr), -1);
    EXPECT_TRUE(logged_line(LOG_WARNING, "VSS_open(2) error: 111 Connection refused"));
    rc_caller tagged = {rc_voice::LOG_TAGGED, nullptr};
    EXPECT_EQ(RC_Transmit(&tagged, dead.c_str(), &rq, nullptr), -1);
    EXPECT_TRUE(logged_line(LOG_WARNING, "[WARN] VSS_open(2) error: 111 Connection refused"));

    // The server hangs up before the handshake: the write fails, no crash.
    logged.clear();
    TlsServer srv(cert, "", TlsServer::mode::CLOSE_AT_ONCE);
    EXPECT_EQ(RC_Post(&daemon, srv.endpoint().c_str(), "/report/umon.php", nullptr, nullptr, false),
              -1);
    ASSERT_FALSE(logged.empty());
    EXPECT_EQ(logged[0].first, LOG_WARNING);
    EXPECT_EQ(logged[0].second.rfind("[WARN] SSL_write(3) failed: ", 0), 0u);
}

TEST_F(Exchange, ConsoleVoice)
{
    char out[4096] = {};
    FILE *con = fmemopen(out, sizeof out - 1, "w");
    rc_caller c = {rc_voice::CONSOLE, con};
    rc_request rq = {"/get/info.php", nullptr, nullptr, true};
    rc_answer ans;
    EXPECT_EQ(RC_Transmit(&c, "127.0.0.1:1", &rq, &ans), -1);
    fclose(con);
    EXPECT_STREQ(out, "[WARN] VSS_open(2) error: 111 Connection refused\n");

    // A read that fails is reported with the TLS errors; what arrived before
    // it is still split.
    std::memset(out, 0, sizeof out);
    con = fmemopen(out, sizeof out - 1, "w");
    c.console = con;
    TlsServer srv(cert, "HTTP/1.1 200 OK\r\n\r\n10.9.0.1", TlsServer::mode::GARBAGE_AFTER);
    EXPECT_EQ(RC_Transmit(&c, srv.endpoint().c_str(), &rq, &ans), 0);
    fclose(con);
    EXPECT_EQ(std::string(out).rfind("[ERROR] SSL_read(3) failed: 0 Success\n", 0), 0u) << out;
    EXPECT_NE(std::strstr(out, "SSL routines"), nullptr) << out;
    ASSERT_EQ(ans.split, 0);
    EXPECT_STREQ(ans.hdr[1], "200");
    EXPECT_STREQ(ans.body, "10.9.0.1");
}

TEST_F(Exchange, CertificateVerification)
{
    Cert good(VEL_MASTER_HOST);
    Cert other("someone.else.example");
    LogCapture lc;
    {
        RC_Fini();
        ASSERT_EQ(RC_InitCA(good.pem_path.c_str()), 0);
        TlsServer srv(good, "HTTP/1.1 200 OK\r\n\r\n");
        EXPECT_EQ(RC_Post(&daemon, srv.endpoint().c_str(), "/x", nullptr, nullptr, true), 0);
    }
    {
        // Signed by a CA we trust, but for another name: refused.
        RC_Fini();
        ASSERT_EQ(RC_InitCA(other.pem_path.c_str()), 0);
        TlsServer srv(other, "HTTP/1.1 200 OK\r\n\r\n");
        EXPECT_EQ(RC_Post(&daemon, srv.endpoint().c_str(), "/x", nullptr, nullptr, true), -1);
    }
    {
        // Right name, but not from the CA we trust: refused.
        RC_Fini();
        ASSERT_EQ(RC_InitCA(good.pem_path.c_str()), 0);
        Cert impostor(VEL_MASTER_HOST);
        TlsServer srv(impostor, "HTTP/1.1 200 OK\r\n\r\n");
        EXPECT_EQ(RC_Post(&daemon, srv.endpoint().c_str(), "/x", nullptr, nullptr, true), -1);
        EXPECT_EQ(srv.finish(), "");
    }
    RC_Fini();
    EXPECT_EQ(RC_InitCA("/nonexistent/ca.pem"), -1);
    ERR_clear_error();
}

} // namespace
