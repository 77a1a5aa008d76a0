#include "velhttpd_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vaccept.h"
#include "vas.h"
#include "velhttpd_http.h"
#include "velhttpd_log.h"
#include "velhttpd_resp.h"
#include "vlog.h"
#include "vtcp.h"

httpd_state httpd;

namespace
{
// Out of descriptors, the listener rests instead of spinning on accept.
vaccept httpd_acc{"HTTP"};

struct httpd_job {
    int sock;
    int listen_sock;
    uint32_t addr; // client IPv4 address, network order
};

void *httpd_thread(void *arg)
{
    auto *job = static_cast<httpd_job *>(arg);
    int sock = job->sock, listen_sock = job->listen_sock;
    uint32_t addr = job->addr;
    std::free(job);
    httpd_serve(sock, listen_sock);
    httpd_host_release(addr);
    httpd.active--;
    return nullptr;
}
} // namespace

bool httpd_host_take(uint32_t addr)
{
    std::lock_guard<std::mutex> lock(httpd.mtx);
    int &n = httpd.per_host[addr];
    if (n >= httpd.per_addr)
        return false;
    n++;
    return true;
}

void httpd_host_release(uint32_t addr)
{
    std::lock_guard<std::mutex> lock(httpd.mtx);
    auto it = httpd.per_host.find(addr);
    if (it == httpd.per_host.end())
        return;
    if (--it->second <= 0)
        httpd.per_host.erase(it);
}

void httpd_serve(int sock, int listen_sock)
{
    http_peer conn;
    if (http_peer_init(&conn, sock, listen_sock) != 0) {
        VRATE_LogAt(&httpd_rl.resources, LOG_ERR, "out of memory");
    } else {
        // A client that does not read must not hold its thread for ever.
        struct timeval tv = {static_cast<time_t>(conn.timeout), 0};
        (void)setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        if (http_read_request(&conn) == 1)
            httpd_answer(&conn);
    }
    http_peer_fini(&conn);
    shutdown(sock, SHUT_WR);
    close(sock);
}

int httpd_listen(uint16_t port, const char **what)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0) {
        *what = "socket";
        return -1;
    }
    int one = 1;
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(port);
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
        *what = "setsockopt";
    else if (bind(s, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) < 0)
        *what = "bind";
    else if (listen(s, HTTPD_BACKLOG) < 0)
        *what = "listen";
    else if (VTCP_nonblocking(s) != 0)
        *what = "fcntl";
    else
        return s; // non-blocking: a client gone between poll and accept blocks nothing
    int err = errno;
    close(s);
    errno = err;
    return -1;
}

void httpd_accept_one(int listen_sock)
{
    struct sockaddr_in from;
    socklen_t fromlen = sizeof from;
    std::memset(&from, 0, sizeof from);
    int sock = VACCEPT_Accept(&httpd_acc, listen_sock, reinterpret_cast<struct sockaddr *>(&from),
                              &fromlen, SOCK_CLOEXEC);
    if (sock < 0) {
        int err = errno;
        if (!VACCEPT_Shortage(err) && err != EAGAIN && err != EWOULDBLOCK)
            VRATE_LogAt(&httpd_rl.accept, LOG_ERR, "accept(2) error: %d %s", err,
                        std::strerror(err));
        return;
    }
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, host, sizeof host);
    if (httpd.active.load() >= httpd.conn_max) {
        VRATE_LogAt(&httpd_rl.refused, LOG_ERR, "Too many connections (%d), refused %s:%d",
                    httpd.conn_max, host, ntohs(from.sin_port));
        close(sock);
        return;
    }
    uint32_t addr = from.sin_addr.s_addr;
    if (!httpd_host_take(addr)) {
        VRATE_Log(&httpd_rl.refused_addr, "[WARN] Too many connections from %s (%d), refused %s:%d",
                  host, httpd.per_addr, host, ntohs(from.sin_port));
        close(sock);
        return;
    }
    auto *job = static_cast<httpd_job *>(std::malloc(sizeof(httpd_job)));
    AN(job);
    job->sock = sock;
    job->listen_sock = listen_sock;
    job->addr = addr;
    pthread_attr_t attr;
    AZ(pthread_attr_init(&attr));
    AZ(pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED));
    httpd.active++;
    pthread_t tid;
    int err = pthread_create(&tid, &attr, httpd_thread, job);
    AZ(pthread_attr_destroy(&attr));
    if (err != 0) {
        // Out of threads for now: this connection goes, the server stays.
        httpd.active--;
        httpd_host_release(addr);
        VRATE_LogAt(&httpd_rl.resources, LOG_ERR, "pthread_create(3) error: %d %s", err,
                    std::strerror(err));
        std::free(job);
        close(sock);
    }
}

void httpd_loop_once(int listen_sock)
{
    double rest = VACCEPT_Wait(&httpd_acc);
    if (rest > 0) {
        usleep(static_cast<useconds_t>(rest * 1e6));
    } else {
        struct pollfd pfd = {listen_sock, POLLIN, 0};
        if (poll(&pfd, 1, HTTPD_TICK_MS) > 0)
            httpd_accept_one(listen_sock);
    }
    httpd_log_flush();
}
