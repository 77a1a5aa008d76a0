#include "velrttd_cycle.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include "vas.h"
#include "vlog.h"
#include "vtcp.h"

talk_config talk;

namespace
{
// The two connect warnings differ by their line feed only.
constexpr const char *FETCH_CONNECT_WARNING = "connect(2): %s\n";
constexpr const char *REPORT_CONNECT_WARNING = "connect(2): %s";
} // namespace

int MNE_fwrite(int fd, const char *fmt, ...)
{
    char buf[RTT_LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int len = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (len < 0 || (size_t)len >= sizeof buf) {
        // A cut line would be taken for a whole one at the other end.
        VLOG_At(LOG_ERR, "%s: line too long, %d bytes", __func__, len);
        return -1;
    }
    int off = 0;
    while (off < len) {
        // MSG_NOSIGNAL: a peer that closed early must not kill the daemon.
        ssize_t n = send(fd, buf + off, len - off, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            VLOG_At(LOG_ERR, "%s: write(2) failed, %d %s", __func__, errno, std::strerror(errno));
            return -1;
        }
        if (n == 0) {
            VLOG_At(LOG_ERR, "%s: write(2) failed, zero write", __func__);
            return 0;
        }
        off += (int)n;
    }
    return len;
}

int MNE_readline(int fd, char *buf, size_t len)
{
    AN(buf);
    VAS_ASSERT(len >= 2);
    size_t n = 0;
    for (;;) {
        // Room for this byte and the NUL; a longer line ends the read.
        if (n + 1 >= len) {
            VLOG_At(LOG_ERR, "%s: line longer than %zu bytes\n", __func__, len - 2);
            return -1;
        }
        char c;
        ssize_t r = read(fd, &c, 1);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            VLOG_At(LOG_ERR, "%s: read error: %d %s\n", __func__, errno, std::strerror(errno));
            return -1;
        }
        if (r == 0)
            return 0;
        buf[n++] = c;
        if (c == '\n')
            break;
    }
    buf[n] = '\0';
    return (int)n;
}

void setTimeout(int fd)
{
    VTCP_setTimeout(fd);
}

void TCP_nonblocking(int fd)
{
    VAS_ASSERT_TEXT(VTCP_Check(VTCP_nonblocking(fd)), "VTCP_Check(VTCP_nonblocking(fd))");
}

double TIM_real()
{
    struct timespec ts;
    AZ(clock_gettime(CLOCK_REALTIME, &ts));
    return (double)ts.tv_sec + 1e-9 * (double)ts.tv_nsec;
}

int talk_connect(const char *warn_fmt)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        std::perror("socket");
        std::exit(1);
    }
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        std::perror("setsockopt");
        std::exit(1);
    }
    setTimeout(fd);
    struct sockaddr_in sin {
    };
    sin.sin_family = AF_INET;
    sin.sin_addr = talk.ip;
    sin.sin_port = htons(talk.port);
    if (connect(fd, (struct sockaddr *)&sin, sizeof sin) != 0) {
        VLOG_At(LOG_WARNING, warn_fmt, std::strerror(errno));
        AZ(close(fd));
        return -1;
    }
    return fd;
}

int handle_R2(int fd)
{
    if (MNE_fwrite(fd, "R2\r\n") == -1)
        return -1;
    char line[RTT_LINE_SIZE];
    for (;;) {
        int r = MNE_readline(fd, line, sizeof line);
        if (r <= 0)
            return r; // what was read so far is measured all the same
        switch (handle_R2_line(line, (size_t)r)) {
        case r2_line::more:
            break;
        case r2_line::end:
            return 0;
        case r2_line::bad:
            return -1;
        }
    }
}

void fetch()
{
    int fd = talk_connect(FETCH_CONNECT_WARNING);
    if (fd < 0)
        return;
    (void)handle_R2(fd);
    AZ(close(fd));
}

namespace
{
// Gives the socket to time, connected or being connected to be; -1 when the
// protocol is unknown or the connect failed (both logged).
int calcrtt_connect(backend *be)
{
    int fd;
    if (be->protocol == "TCP") {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        VAS_ASSERT_TEXT(fd >= 0, "fd >= 0");
        TCP_nonblocking(fd);
    } else if (be->protocol == "UDP") {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        VAS_ASSERT_TEXT(fd >= 0, "fd >= 0");
    } else {
        VLOG("[ERROR] Wrong RTTcal proto %s", be->protocol.c_str());
        return -1;
    }
    struct sockaddr_in sin {
    };
    sin.sin_family = AF_INET;
    sin.sin_port = htons((uint16_t)be->port);
    be->start = TIM_real();
    be->end = 0;
    int r;
    if (inet_pton(AF_INET, be->ip.c_str(), &sin.sin_addr) != 1) {
        errno = EINVAL; // not an IPv4 address: nothing to connect to
        r = -1;
    } else {
        r = connect(fd, (struct sockaddr *)&sin, sizeof sin);
    }
    if (r != 0 && errno != EINPROGRESS) {
        VLOG("[ERROR] %s: connect(2) error to %s:%d %d %s", "calcrtt", be->ip.c_str(), be->port,
             errno, std::strerror(errno));
        AZ(close(fd));
        return -1;
    }
    return fd;
}
} // namespace

void calcrtt_backend(backend *be)
{
    CHECK_OBJ_NOTNULL(be, backend::MAGIC);
    be->flags = 0;
    be->rtt = -1.0;
    int fd = calcrtt_connect(be);
    if (fd < 0)
        return;
    bool udp = be->protocol == "UDP";
    if (udp) {
        size_t len = std::strlen(CALCRTT_UDP_PAYLOAD);
        ssize_t n = send(fd, CALCRTT_UDP_PAYLOAD, len, MSG_NOSIGNAL);
        if (n != (ssize_t)len)
            VLOG("[WARN] send(2) failed: %d %s", errno, std::strerror(errno));
    }

    VAS_ASSERT_TEXT(fd < FD_SETSIZE, "fd < FD_SETSIZE");
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    struct timeval tv = {CALCRTT_WAIT_SEC, 0};
    int r = udp ? select(fd + 1, &set, nullptr, nullptr, &tv)
                : select(fd + 1, nullptr, &set, nullptr, &tv);
    if (r < 0) {
        VLOG("[ERROR] %s: select(2) error to %s:%d %d %s", "calcrtt", be->ip.c_str(), be->port,
             errno, std::strerror(errno));
        AZ(close(fd));
        return;
    }
    if (r == 0) {
        // Reported with the time waited, not as a failure.
        be->flags |= backend::F_TIMEOUT;
        VLOG("[WARN] Static RTT %s:%d timeout", be->ip.c_str(), be->port);
    }
    be->end = TIM_real();
    be->rtt = (be->end - be->start) * 1000.0;
    if (rtt.verbose >= 2)
        VLOG("[INFO] Static RTT %s:%d ==> %f\n", be->ip.c_str(), be->port, be->rtt);
    AZ(close(fd));
}

void calcrtt()
{
    for (backend &be : rtt.backends) {
        sleep(1);
        calcrtt_backend(&be);
    }
}

int send_RU_lines(int fd)
{
    int sent = 0;
    for (const reservednode &rn : rtt.nodes) {
        CHECK_OBJ(&rn, reservednode::MAGIC);
        const backend *be = rn.be;
        CHECK_OBJ_NOTNULL(be, backend::MAGIC);
        if (rtt.verbose >= 2)
            VLOG("[INFO] Reserved RU %s %s %d %f", rn.num.c_str(), be->ip.c_str(), be->port,
                 be->rtt);
        if (MNE_fwrite(fd, "RU %s %s %d %f 0.0\r\n", rn.num.c_str(), be->ip.c_str(), be->port,
                       be->rtt) == -1)
            break;
        sent++;
    }
    return sent;
}

void send_RU()
{
    int fd = talk_connect(REPORT_CONNECT_WARNING);
    if (fd >= 0) {
        (void)send_RU_lines(fd);
        AZ(close(fd));
    }
    rtt_free_all();
}

void rtt_cycle()
{
    if (rtt.verbose >= 3)
        VLOG("[INFO] Fetching the reserved nodes...");
    fetch();
    if (rtt.verbose >= 3)
        VLOG("[INFO] Testing the reserved nodes...");
    calcrtt();
    if (rtt.verbose >= 3)
        VLOG("[INFO] Calculating the reserved nodes...");
    if (rtt.verbose >= 3)
        VLOG("[INFO] Reporting the resule...");
    send_RU();
}
