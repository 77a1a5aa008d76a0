#include "vss.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include "vas.h"
#include "vtcp.h"

namespace
{

// perror may itself disturb errno; callers report the failure's errno.
void vss_perror(const char *what)
{
    int e = errno;
    perror(what);
    errno = e;
}

// Close fd without losing the errno of the failure that made us close it.
void vss_close_keep_errno(int fd)
{
    int e = errno;
    (void)close(fd);
    errno = e;
}

} // namespace

int VSS_parse(const char *str, char **addr, char **port)
{
    const char *p;

    AN(str);
    *addr = *port = nullptr;
    if (str[0] == '[') {
        p = strchr(str, ']');
        if (p == nullptr || p == str + 1 || (p[1] != '\0' && p[1] != ':'))
            return (-1);
        *addr = strndup(str + 1, (size_t)(p - (str + 1)));
        VAS_ASSERT_TEXT((*addr) != nullptr, "(*addr) != 0");
        if (p[1] == ':') {
            *port = strdup(p + 2);
            VAS_ASSERT_TEXT((*port) != nullptr, "(*port) != 0");
        }
        return (0);
    }
    p = strchr(str, ' ');
    if (p == nullptr)
        p = strchr(str, ':');
    if (p == nullptr) {
        *addr = strdup(str);
        VAS_ASSERT_TEXT((*addr) != nullptr, "(*addr) != 0");
        return (0);
    }
    if (p > str) {
        *addr = strndup(str, (size_t)(p - str));
        VAS_ASSERT_TEXT((*addr) != nullptr, "(*addr) != 0");
    }
    *port = strdup(p + 1);
    VAS_ASSERT_TEXT((*port) != nullptr, "(*port) != 0");
    return (0);
}

int VSS_resolve(const char *str, const char *def_port, struct vss_entry ***vap)
{
    struct addrinfo hints, *res0 = nullptr, *res;
    struct vss_entry **va;
    char *addr = nullptr, *port = nullptr;
    int i, n, ret;
    long pn;

    AN(str);
    AN(vap);
    *vap = nullptr;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;

    if (VSS_parse(str, &addr, &port) != 0)
        return (0);
    if (port != nullptr) {
        pn = strtol(port, nullptr, 10);
        if (pn < 0 || pn > 65535) {
            free(addr);
            free(port);
            return (0);
        }
        ret = getaddrinfo(addr, port, &hints, &res0);
    } else {
        ret = getaddrinfo(str, def_port, &hints, &res0);
    }
    free(addr);
    free(port);
    if (ret != 0)
        return (0);
    VAS_ASSERT_TEXT(res0 != nullptr, "(res0) != 0");

    for (n = 0, res = res0; res != nullptr; res = res->ai_next)
        ++n;
    va = (struct vss_entry **)calloc((size_t)n, sizeof *va);
    VAS_ASSERT_TEXT(va != nullptr, "(va) != 0");
    for (i = 0, res = res0; res != nullptr; res = res->ai_next, ++i) {
        va[i] = (struct vss_entry *)calloc(1, sizeof **va);
        VAS_ASSERT_TEXT(va[i] != nullptr, "(va[i]) != 0");
        va[i]->va_family = res->ai_family;
        va[i]->va_socktype = res->ai_socktype;
        va[i]->va_protocol = res->ai_protocol;
        va[i]->va_addrlen = (int)res->ai_addrlen;
        VAS_ASSERT_TEXT(res->ai_addrlen <= sizeof va[i]->va_addr,
                        "va[i]->va_addrlen <= sizeof va[i]->va_addr");
        memcpy(&va[i]->va_addr, res->ai_addr, res->ai_addrlen);
    }
    freeaddrinfo(res0);
    *vap = va;
    return (n);
}

void VSS_free(struct vss_entry **va, int n)
{
    if (va == nullptr)
        return;
    for (int i = 0; i < n; ++i)
        free(va[i]);
    free(va);
}

int vss_bind_one(const struct vss_entry *va)
{
    int sd, val;

    AN(va);
    sd = socket(va->va_family, va->va_socktype, va->va_protocol);
    if (sd < 0) {
        vss_perror("socket()");
        return (-1);
    }
    val = 1;
    if (setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &val, sizeof val) != 0) {
        vss_perror("setsockopt(SO_REUSEADDR, 1)");
        vss_close_keep_errno(sd);
        return (-1);
    }
    // An IPv6 wildcard would otherwise also take the IPv4 port.
    val = 1;
    if (va->va_family == AF_INET6 &&
        setsockopt(sd, IPPROTO_IPV6, IPV6_V6ONLY, &val, sizeof val) != 0) {
        vss_perror("setsockopt(IPV6_V6ONLY, 1)");
        vss_close_keep_errno(sd);
        return (-1);
    }
    if (bind(sd, (const struct sockaddr *)&va->va_addr, (socklen_t)va->va_addrlen) != 0) {
        vss_perror("bind()");
        vss_close_keep_errno(sd);
        return (-1);
    }
    return (sd);
}

int vss_listen_one(const struct vss_entry *va, int depth)
{
    int sd;

    sd = vss_bind_one(va);
    if (sd < 0)
        return (-1);
    if (listen(sd, depth) != 0) {
        vss_perror("listen()");
        vss_close_keep_errno(sd);
        return (-1);
    }
    return (sd);
}

int vss_connect_one(const struct vss_entry *va, int nonblock)
{
    int sd;

    AN(va);
    sd = socket(va->va_family, va->va_socktype, va->va_protocol);
    if (sd < 0) {
        // A host without IPv6 (or IPv4) simply skips those addresses.
        if (errno != EPROTONOSUPPORT)
            vss_perror("socket()");
        return (-1);
    }
    if (nonblock)
        (void)VTCP_nonblocking(sd);
    if (connect(sd, (const struct sockaddr *)&va->va_addr, (socklen_t)va->va_addrlen) == 0)
        return (sd);
    if (errno == EINPROGRESS && nonblock)
        return (sd);
    vss_perror("connect()");
    vss_close_keep_errno(sd);
    return (-1);
}

int VSS_open(const char *str, double tmo)
{
    struct vss_entry **vaa = nullptr;
    struct pollfd pfd;
    double ms;
    int fd = -1, i, n, to;

    n = VSS_resolve(str, nullptr, &vaa);
    // Milliseconds for poll, kept inside int; a negative time-out waits
    // without limit, as poll does.
    ms = tmo * 1000.0;
    if (!(ms < (double)INT_MAX))
        to = INT_MAX;
    else if (ms < 0)
        to = -1;
    else
        to = (int)ms;

    for (i = 0; i < n; ++i) {
        fd = vss_connect_one(vaa[i], tmo != 0);
        if (fd >= 0 && tmo != 0) {
            pfd.fd = fd;
            pfd.events = POLLOUT;
            pfd.revents = 0;
            int r = poll(&pfd, 1, to);
            if (r != 1 || pfd.revents != POLLOUT) {
                if (r == 0)
                    errno = ETIMEDOUT;
                else if (r == 1) {
                    // Report why the connection failed, not poll's errno.
                    int err = 0;
                    socklen_t len = sizeof err;
                    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0)
                        errno = err;
                }
                vss_close_keep_errno(fd);
                fd = -1;
            }
        }
        if (fd >= 0)
            break;
    }
    VSS_free(vaa, n);
    return (fd);
}
