#include "velechod_tcp.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vas.h"
#include "velechod_udp.h"
#include "vlog.h"
#include "vrate.h"
#include "vtcp.h"

echo_tcp_state echo_tcp = {ECHO_TCP_MAGIC, -1, {}, nullptr, vaccept{"TCP"}, false};

namespace
{

[[noreturn]] void die(const char *call)
{
    std::perror(call);
    std::exit(1);
}

bool would_block(int e)
{
    return e == EAGAIN || e == EWOULDBLOCK || e == EINTR;
}

vrate rl_accept{"accept(2) error"};

void tcp_close(tcp_conn *tp)
{
    VAS_ASSERT_TEXT(close(tp->fd) == 0, "(close(tp->fd)) == 0");
    tp->magic = 0;
    std::free(tp);
}

} // namespace

void tcp_init()
{
    CHECK_OBJ(&echo_tcp, ECHO_TCP_MAGIC);
    echo_tcp.efd = epoll_create1(EPOLL_CLOEXEC);
    VAS_ASSERT_TEXT(echo_tcp.efd >= 0, "tcp_efd >= 0");
    cot_wheel_init(&echo_tcp.wheel);
    echo_tcp.listener = nullptr;
    echo_tcp.listening = false;
}

void tcp_eventadd(tcp_conn *tp, int mode)
{
    CHECK_OBJ_NOTNULL(tp, TCP_CONN_MAGIC);
    struct epoll_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.data.ptr = tp;
    switch (mode) {
    case TCP_EV_READ:
        ev.events = EPOLLIN | EPOLLPRI | EPOLLERR;
        break;
    case TCP_EV_WRITE:
        ev.events = EPOLLOUT | EPOLLERR;
        break;
    default:
        VAS_ASSERT_TEXT(0 == 1, "0 == 1");
    }
    int ret = epoll_ctl(echo_tcp.efd, EPOLL_CTL_ADD, tp->fd, &ev);
    VAS_ASSERT_TEXT(ret == 0, "ret == 0");
}

void tcp_eventdel(tcp_conn *tp)
{
    CHECK_OBJ_NOTNULL(tp, TCP_CONN_MAGIC);
    int ret = epoll_ctl(echo_tcp.efd, EPOLL_CTL_DEL, tp->fd, nullptr);
    VAS_ASSERT_TEXT(ret == 0, "ret == 0");
}

void tcp_nonblocking(int fd)
{
    int j = VTCP_nonblocking(fd);
    VAS_ASSERT_TEXT(j == 0, "j == 0");
}

tcp_conn *tcp_new(int fd)
{
    tcp_conn *tp = static_cast<tcp_conn *>(std::calloc(1, sizeof *tp));
    VAS_ASSERT_TEXT(tp != nullptr, "tp != ((void *)0)");
    tp->magic = TCP_CONN_MAGIC;
    tp->fd = fd;
    tp->state = TCP_S_READ;
    cot_entry_init(&tp->callout, 0);
    return tp;
}

void tcp_free(void *arg)
{
    tcp_conn *tp = static_cast<tcp_conn *>(arg);
    CHECK_OBJ_NOTNULL(tp, TCP_CONN_MAGIC);
    tcp_eventdel(tp);
    tcp_close(tp);
}

void tcp_sm(tcp_conn *tp)
{
    CHECK_OBJ_NOTNULL(tp, TCP_CONN_MAGIC);
    for (;;) {
        switch (tp->state) {
        case TCP_S_READ: {
            ssize_t n = read(tp->fd, tp->buffer, sizeof tp->buffer);
            if (n > 0) {
                tp->length = static_cast<size_t>(n);
                tp->written = 0;
                tp->state = TCP_S_WRITE;
            } else if (n < 0 && would_block(errno)) {
                // Readiness that came to nothing: wait for the next.
                tcp_eventadd(tp, TCP_EV_READ);
                return;
            } else {
                tp->state = TCP_S_CLOSE;
            }
            break;
        }
        case TCP_S_WRITE: {
            // MSG_NOSIGNAL: a client that reset must not end the daemon.
            ssize_t n =
                send(tp->fd, tp->buffer + tp->written, tp->length - tp->written, MSG_NOSIGNAL);
            if (n > 0)
                tp->written += static_cast<size_t>(n);
            if ((n > 0 && tp->written < tp->length) || (n < 0 && would_block(errno))) {
                // The rest goes once the client has taken some in.
                tcp_eventadd(tp, TCP_EV_WRITE);
                return;
            }
            tp->state = TCP_S_CLOSE;
            break;
        }
        case TCP_S_CLOSE:
            (void)cot_cancel(&echo_tcp.wheel, &tp->callout);
            tcp_close(tp);
            return;
        default:
            VAS_ASSERT_TEXT(0 == 1, "0 == 1");
        }
    }
}

void tcp_accept()
{
    CHECK_OBJ_NOTNULL(echo_tcp.listener, TCP_CONN_MAGIC);
    int fd = VACCEPT_Accept(&echo_tcp.acc, echo_tcp.listener->fd, nullptr, nullptr, 0);
    if (fd < 0) {
        int err = errno;
        // The listener is non-blocking: a client that went away before
        // its turn leaves nothing to take, which is no error. A shortage
        // was logged once and rests the listener.
        if (VACCEPT_Shortage(err)) {
            if (echo_tcp.listening) {
                tcp_eventdel(echo_tcp.listener);
                echo_tcp.listening = false;
            }
        } else if (err != EAGAIN && err != EWOULDBLOCK) {
            VRATE_LogAt(&rl_accept, LOG_ERR, "accept(2) error: %d %s", err, std::strerror(err));
        }
        return;
    }
    tcp_nonblocking(fd);
    tcp_conn *tp = tcp_new(fd);
    tcp_eventadd(tp, TCP_EV_READ);
    (void)COT_SCHEDULE(&echo_tcp.wheel, &tp->callout, TCP_IDLE_TICKS, tcp_free, tp);
}

void tcp_poll_once()
{
    static struct epoll_event ev[TCP_EVENT_BATCH];
    int wait_ms = TCP_WAIT_MS;
    if (echo_tcp.listener != nullptr && !echo_tcp.listening) {
        double rest = VACCEPT_Wait(&echo_tcp.acc);
        if (rest > 0) {
            wait_ms = static_cast<int>(rest * 1000) + 1;
        } else {
            tcp_eventadd(echo_tcp.listener, TCP_EV_READ);
            echo_tcp.listening = true;
        }
    }
    int n = epoll_wait(echo_tcp.efd, ev, TCP_EVENT_BATCH, wait_ms);
    VAS_ASSERT_TEXT(n >= 0 || errno == EINTR, "n >= 0 || errno == EINTR");
    for (int i = 0; i < n; i++) {
        tcp_conn *tp = static_cast<tcp_conn *>(ev[i].data.ptr);
        if (tp == echo_tcp.listener) {
            tcp_accept();
            continue;
        }
        tcp_eventdel(tp);
        tcp_sm(tp);
    }
    cot_now(&echo_tcp.wheel);
    cot_run_due(&echo_tcp.wheel);
    echo_log_flush();
}

void echo_log_flush()
{
    VRATE_Flush(&rl_accept);
    udp_log_flush();
}

void *tcp_thread(void *)
{
    tcp_init();
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        die("socket");
    int on = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        die("setsockopt");
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(ECHO_PORT);
    if (bind(s, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0)
        die("bind");
    if (listen(s, TCP_BACKLOG) != 0)
        die("listen");
    tcp_nonblocking(s);
    echo_tcp.listener = tcp_new(s);
    tcp_eventadd(echo_tcp.listener, TCP_EV_READ);
    echo_tcp.listening = true;
    for (;;)
        tcp_poll_once();
}
