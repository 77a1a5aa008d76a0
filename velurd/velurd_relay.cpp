#include "velurd_relay.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/select.h>
#include <unistd.h>

#include "vas.h"
#include "vlog.h"
#include "vnode.h"
#include "vrate.h"

urd_state urd;

namespace
{
// Every line a client can cause per datagram goes through a limiter.
vrate rl_header{"Wrong header"};
vrate rl_refused{"Session refused"};
vrate rl_dest{"Destination refused"};
vrate rl_send{"sendto(2)"};
vrate rl_created{"the session is created"};
vrate rl_destroyed{"the session is destroyed"};
vrate *const urd_limiters[] = {&rl_header, &rl_refused, &rl_dest,
                               &rl_send,   &rl_created, &rl_destroyed};

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

// A relay socket for a new session, or -1 (logged) when none can be had
// below the limit select() can watch.
int urd_relay_socket(const struct sockaddr *addr)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd >= 0 && fd < urd.fd_limit)
        return fd;
    int err = errno;
    if (fd >= 0)
        close(fd);
    char host[INET6_ADDRSTRLEN];
    int port;
    urd_addr_text(addr, host, sizeof host, &port);
    if (fd >= 0)
        VRATE_Log(&rl_refused,
                  "[ERROR] Session refused for %s:%d: no relay socket below %d (count %d)", host,
                  port, urd.fd_limit, urd.count);
    else
        VRATE_Log(&rl_refused, "[ERROR] Session refused for %s:%d: socket(2): %d %s (count %d)",
                  host, port, err, std::strerror(err), urd.count);
    return -1;
}

// One address from a node file, or 0 when the file is missing or bad.
uint32_t urd_read_ipfile(const char *path)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char buf[64];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return 0;
    while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == '\r' || buf[n - 1] == ' '))
        n--;
    buf[n] = '\0';
    uint32_t a;
    return VNODE_ParseIPv4(buf, &a) ? a : 0;
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
        int err = errno;
        VRATE_LogAt(&rl_send, LOG_ERR, "sendto(2): %d %s (len %zd)", err, std::strerror(err), len);
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
        VRATE_Log(&rl_header, "[ERROR] Wrong header %x %x %x %x", static_cast<unsigned>(first),
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

const char *urd_dest_refused(const struct sockaddr_in *dst)
{
    uint32_t a = ntohl(dst->sin_addr.s_addr);
    if (dst->sin_port == 0)
        return "port 0";
    if ((a >> 24) == 0)
        return "this network";
    if ((a >> 24) == 127)
        return "loopback";
    if ((a >> 28) == 0xe)
        return "multicast";
    if (a == INADDR_BROADCAST)
        return "broadcast";
    for (uint32_t l : urd.local)
        if (l == dst->sin_addr.s_addr)
            return "an address of this node";
    return nullptr;
}

void urd_local_refresh(bool force)
{
    int64_t now = urd_clock();
    if (!force && urd.local_read >= 0 && now - urd.local_read < URD_LOCAL_REFRESH &&
        now >= urd.local_read)
        return;
    urd.local_read = now;
    struct ifaddrs *ifa = nullptr;
    if (getifaddrs(&ifa) != 0) {
        VLOG("[WARN] getifaddrs(3) error: %d %s; the node's addresses stay as they were", errno,
             std::strerror(errno));
        return;
    }
    std::vector<uint32_t> local;
    for (struct ifaddrs *i = ifa; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET)
            local.push_back(
                reinterpret_cast<const struct sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
        if ((i->ifa_flags & IFF_BROADCAST) && i->ifa_broadaddr != nullptr &&
            i->ifa_broadaddr->sa_family == AF_INET)
            local.push_back(
                reinterpret_cast<const struct sockaddr_in *>(i->ifa_broadaddr)->sin_addr.s_addr);
    }
    freeifaddrs(ifa);
    // The public address may sit in front of a NAT and on no interface.
    for (const char *path : {urd.public_ip_file, urd.tap_ip_file})
        if (uint32_t a = urd_read_ipfile(path); a != 0)
            local.push_back(a);
    urd.local.swap(local);
}

urd_sess *sess_insert(const struct sockaddr *addr, socklen_t addrlen, const struct sockaddr_in *dst)
{
    int64_t now = urd_clock();
    int same_host = 0;
    const auto *cin = reinterpret_cast<const struct sockaddr_in *>(addr);
    for (urd_sess *sp = urd.head; sp != nullptr; sp = sp->next) {
        CHECK_OBJ(sp, URD_SESS_MAGIC);
        if (sp->addrlen == addrlen && std::memcmp(&sp->addr, addr, addrlen) == 0) {
            sp->last_seen = now;
            return sp;
        }
        const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&sp->addr);
        if (addr->sa_family == AF_INET && sin->sin_family == AF_INET &&
            sin->sin_addr.s_addr == cin->sin_addr.s_addr)
            same_host++;
    }
    if (addrlen > sizeof(struct sockaddr_storage))
        return nullptr;
    if (same_host >= urd.per_addr) {
        char host[INET6_ADDRSTRLEN];
        int port;
        urd_addr_text(addr, host, sizeof host, &port);
        VRATE_Log(&rl_refused,
                  "[WARN] Session refused for %s:%d: the address holds %d sessions (count %d)",
                  host, port, same_host, urd.count);
        return nullptr;
    }
    int fd = urd_relay_socket(addr);
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
    VRATE_LogAt(&rl_created, LOG_INFO, "the session is created (sp %p count %d, %s:%d)",
                static_cast<void *>(sp), urd.count, host, ntohs(dst->sin_port));
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
        VRATE_LogAt(&rl_destroyed, LOG_INFO, "the session is destroyed (sp %p count %d)",
                    static_cast<void *>(sp), urd.count);
        *pp = sp->next;
        close(sp->fd);
        sp->magic = 0;
        std::free(sp);
    }
    for (vrate *rl : urd_limiters)
        VRATE_Flush(rl);
    urd_local_refresh(false);
}

void urd_client_datagram(uint8_t *buf, size_t len, const struct sockaddr *from, socklen_t fromlen)
{
    struct sockaddr_in dst;
    if (urd_parse_header(buf, len, &dst) != 0)
        return;
    if (const char *why = urd_dest_refused(&dst); why != nullptr) {
        char host[INET_ADDRSTRLEN], chost[INET6_ADDRSTRLEN];
        int cport;
        inet_ntop(AF_INET, &dst.sin_addr, host, sizeof host);
        urd_addr_text(from, chost, sizeof chost, &cport);
        VRATE_Log(&rl_dest, "[WARN] Destination %s:%d refused for %s:%d: %s", host,
                  ntohs(dst.sin_port), chost, cport, why);
        return;
    }
    urd_sess *sp = sess_insert(from, fromlen, &dst);
    if (sp == nullptr)
        return;
    ssize_t ret = sendto(sp->fd, buf + URD_HDR_LEN, len - URD_HDR_LEN, 0,
                         reinterpret_cast<const struct sockaddr *>(&dst), sizeof dst);
    if (ret == -1) {
        int err = errno;
        VRATE_LogAt(&rl_send, LOG_ERR, "sendto(2): %d %s", err, std::strerror(err));
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
    urd.per_addr = URD_SESS_PER_ADDR;
    urd.last_expire = 0;
    urd.local.clear();
    urd.local_read = -1;
    urd.public_ip_file = URD_PUBLIC_IP_FILE;
    urd.tap_ip_file = URD_TAP_IP_FILE;
    for (vrate *rl : urd_limiters)
        VRATE_Reset(rl);
}
