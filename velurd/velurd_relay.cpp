#include "velurd_relay.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/select.h>
#include <unistd.h>

#include "vas.h"
#include "vlog.h"

urd_state urd;

namespace
{
int64_t urd_wallclock()
{
    return static_cast<int64_t>(std::time(nullptr));
}

// Receive errors a peer can provoke (an ICMP error queued on the socket, a
// datagram dropped between select() and recv()); they lose one datagram.
bool urd_transient(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNREFUSED ||
           err == EHOSTUNREACH || err == ENETUNREACH;
}

void urd_addr_text(const struct sockaddr *sa, char *host, size_t hostlen, int *port)
{
    *port = 0;
    std::strcpy(host, "?");
    if (sa->sa_family == AF_INET) {
        const auto *sin = reinterpret_cast<const struct sockaddr_in *>(sa);
        inet_ntop(AF_INET, &sin->sin_addr, host, static_cast<socklen_t>(hostlen));
        *port = ntohs(sin->sin_port);
    }
}

// A full relay table must not flood the log: one refusal line per second.
bool urd_refusal_logged(int64_t now)
{
    if (urd.refused_logged == now)
        return false;
    urd.refused_logged = now;
    return true;
}

// A relay socket for a new session, or -1 (logged) when none can be had
// below the limit select() can watch.
int urd_relay_socket(const struct sockaddr *addr, int64_t now)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd >= 0 && fd < urd.fd_limit)
        return fd;
    int err = errno;
    if (fd >= 0)
        close(fd);
    if (urd_refusal_logged(now)) {
        char host[INET6_ADDRSTRLEN];
        int port;
        urd_addr_text(addr, host, sizeof host, &port);
        if (fd >= 0)
            VLOG("[ERROR] Session refused for %s:%d: no relay socket below %d (count %d)", host,
                 port, urd.fd_limit, urd.count);
        else
            VLOG("[ERROR] Session refused for %s:%d: socket(2): %d %s (count %d)", host, port, err,
                 std::strerror(err), urd.count);
    }
    return -1;
}

// Passes one datagram that came back on a session's socket to its client.
void urd_session_datagram(urd_sess *sp)
{
    CHECK_OBJ_NOTNULL(sp, URD_SESS_MAGIC);
    uint8_t buf[URD_DGRAM_MAX];
    ssize_t len = recv(sp->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (len == -1 && urd_transient(errno))
        return;
    VAS_ASSERT(len != -1);
    ssize_t ret = sendto(urd.listen_fd, buf, static_cast<size_t>(len), 0,
                         reinterpret_cast<const struct sockaddr *>(&sp->addr), sp->addrlen);
    if (ret == -1) {
        VLOG_At(LOG_ERR, "sendto(2): %d %s (len %zd)", errno, std::strerror(errno), len);
        return;
    }
    VAS_ASSERT(ret == len);
}
} // namespace

urd_clock_f urd_clock = urd_wallclock;

int urd_parse_header(const uint8_t *buf, size_t len, struct sockaddr_in *dst)
{
    if (len < URD_HDR_LEN)
        return -1;
    if (buf[0] != 0 || buf[1] != 0 || buf[2] != 0 || buf[3] != URD_ATYP_IPV4) {
        // The first value carries a set low bit whenever bytes 1 to 3 are
        // not 0 0 1; operators' log filters know the line in this form.
        int first = static_cast<signed char>(buf[0]);
        if (buf[1] != 0 || buf[2] != 0 || buf[3] != URD_ATYP_IPV4)
            first |= 1;
        VLOG("[ERROR] Wrong header %x %x %x %x", static_cast<unsigned>(first),
             static_cast<unsigned>(static_cast<int>(static_cast<signed char>(buf[1]))),
             static_cast<unsigned>(static_cast<int>(static_cast<signed char>(buf[2]))),
             static_cast<unsigned>(static_cast<int>(static_cast<signed char>(buf[3]))));
        return -2;
    }
    std::memset(dst, 0, sizeof *dst);
    dst->sin_family = AF_INET;
    std::memcpy(&dst->sin_addr.s_addr, buf + 4, 4);
    std::memcpy(&dst->sin_port, buf + 8, 2);
    return 0;
}

urd_sess *sess_insert(const struct sockaddr *addr, socklen_t addrlen, const struct sockaddr_in *dst)
{
    int64_t now = urd_clock();
    for (urd_sess *sp = urd.head; sp != nullptr; sp = sp->next) {
        CHECK_OBJ(sp, URD_SESS_MAGIC);
        if (sp->addrlen == addrlen && std::memcmp(&sp->addr, addr, addrlen) == 0) {
            sp->last_seen = now;
            return sp;
        }
    }
    if (addrlen > sizeof(struct sockaddr_storage))
        return nullptr;
    int fd = urd_relay_socket(addr, now);
    if (fd < 0)
        return nullptr;
    auto *sp = static_cast<urd_sess *>(std::calloc(1, sizeof(urd_sess)));
    VAS_ASSERT_TEXT(sp != nullptr, "sp != ((void *)0)");
    sp->magic = URD_SESS_MAGIC;
    std::memcpy(&sp->addr, addr, addrlen);
    sp->addrlen = addrlen;
    sp->fd = fd;
    sp->last_seen = now;
    sp->timeout = URD_SESS_TIMEOUT;
    sp->next = urd.head;
    urd.head = sp;
    urd.count++;
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &dst->sin_addr, host, sizeof host);
    VLOG_At(LOG_INFO, "the session is created (sp %p count %d, %s:%d)", static_cast<void *>(sp),
            urd.count, host, ntohs(dst->sin_port));
    return sp;
}

void urd_expire()
{
    int64_t now = urd_clock();
    urd.last_expire = now;
    urd_sess **pp = &urd.head;
    while (*pp != nullptr) {
        urd_sess *sp = *pp;
        CHECK_OBJ(sp, URD_SESS_MAGIC);
        if (sp->last_seen + sp->timeout >= now) {
            pp = &sp->next;
            continue;
        }
        urd.count--;
        VLOG_At(LOG_INFO, "the session is destroyed (sp %p count %d)", static_cast<void *>(sp),
                urd.count);
        *pp = sp->next;
        close(sp->fd);
        sp->magic = 0;
        std::free(sp);
    }
}

void urd_client_datagram(uint8_t *buf, size_t len, const struct sockaddr *from, socklen_t fromlen)
{
    struct sockaddr_in dst;
    if (urd_parse_header(buf, len, &dst) != 0)
        return;
    urd_sess *sp = sess_insert(from, fromlen, &dst);
    if (sp == nullptr)
        return;
    ssize_t ret = sendto(sp->fd, buf + URD_HDR_LEN, len - URD_HDR_LEN, 0,
                         reinterpret_cast<const struct sockaddr *>(&dst), sizeof dst);
    if (ret == -1) {
        VLOG_At(LOG_ERR, "sendto(2): %d %s", errno, std::strerror(errno));
        return;
    }
    VAS_ASSERT_TEXT(ret == static_cast<ssize_t>(len - URD_HDR_LEN), "ret == len - 10");
}

int urd_listen(uint16_t port, const char **what)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0) {
        *what = "socket";
        return -1;
    }
    struct sockaddr_in sin;
    std::memset(&sin, 0, sizeof sin);
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_ANY);
    sin.sin_port = htons(port);
    if (bind(s, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) < 0) {
        int err = errno;
        close(s);
        errno = err;
        *what = "bind";
        return -1;
    }
    urd.listen_fd = s;
    return s;
}

void urd_loop_once()
{
    fd_set rfds;
    FD_ZERO(&rfds);
    int maxfd = -1;
    for (urd_sess *sp = urd.head; sp != nullptr; sp = sp->next) {
        CHECK_OBJ(sp, URD_SESS_MAGIC);
        VAS_ASSERT_TEXT(sp->fd < URD_FD_LIMIT, "sp->fd < 1024");
        FD_SET(sp->fd, &rfds);
        if (sp->fd > maxfd)
            maxfd = sp->fd;
    }
    int s = urd.listen_fd;
    VAS_ASSERT_TEXT(s < URD_FD_LIMIT, "s < 1024");
    FD_SET(s, &rfds);
    if (s > maxfd)
        maxfd = s;

    struct timeval tv = {URD_SELECT_TIMEOUT, 0};
    int ret = select(maxfd + 1, &rfds, nullptr, nullptr, &tv);
    if (ret == -1 && errno == EINTR)
        return;
    VAS_ASSERT(ret != -1);
    if (ret == 0) {
        urd_expire();
        return;
    }
    // The expiry pass below may free sessions; nothing runs it in this walk.
    for (urd_sess *sp = urd.head; sp != nullptr; sp = sp->next)
        if (FD_ISSET(sp->fd, &rfds))
            urd_session_datagram(sp);
    // Replies keep select() from timing out: without this pass a destination
    // that never stops sending would keep every silent client's session (and
    // its descriptor) for good.
    if (urd_clock() - urd.last_expire >= URD_SELECT_TIMEOUT)
        urd_expire();

    if (FD_ISSET(s, &rfds)) {
        uint8_t buf[URD_DGRAM_MAX];
        struct sockaddr_storage from;
        socklen_t fromlen = sizeof(struct sockaddr_in);
        ssize_t len = recvfrom(s, buf, sizeof buf, MSG_DONTWAIT,
                               reinterpret_cast<struct sockaddr *>(&from), &fromlen);
        if (len == -1 && urd_transient(errno))
            return;
        VAS_ASSERT(len != -1);
        urd_expire();
        urd_client_datagram(buf, static_cast<size_t>(len),
                            reinterpret_cast<struct sockaddr *>(&from), fromlen);
    }
}

void urd_reset()
{
    while (urd.head != nullptr) {
        urd_sess *sp = urd.head;
        urd.head = sp->next;
        close(sp->fd);
        std::free(sp);
    }
    urd.count = 0;
    urd.fd_limit = URD_FD_LIMIT;
    urd.refused_logged = -1;
    urd.last_expire = 0;
}
