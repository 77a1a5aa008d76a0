// udpfwd: the baseline that veld's frame switching is measured against, and the frame pump that
// measures both.
//
//   udpfwd forward [-p port]
//       A minimal learning forwarder: one select, one recvfrom and one sendto per frame. It learns
//       which UDP address each source MAC address comes from and sends every frame to the address
//       of its destination MAC address (frames for unknown stations are dropped).
//   udpfwd sink -s addr [-p port] -m mac [-t seconds]
//       Announces mac to the switch (a frame from it, once a second) and counts the frames that
//       come back; when no frame came for a second after the first one (or after -t seconds)
//       prints "received N frames in S seconds".
//   udpfwd blast -s addr [-p port] -m mac -d mac [-l bytes] [-t seconds]
//       Sends IPv4-in-Ethernet frames from -m to -d for -t seconds as fast as the socket takes
//       them and prints "sent N frames in S seconds".

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr int kMaxStations = 4096;
constexpr size_t kBufSize = 4096;

struct Station {
    uint8_t mac[6];
    sockaddr_in addr;
};

[[noreturn]] void die(const char *fmt, const char *arg)
{
    fprintf(stderr, "udpfwd: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n");
    exit(1);
}

[[noreturn]] void usage()
{
    fprintf(stderr, "usage: udpfwd forward [-p port]\n"
                    "       udpfwd sink -s addr [-p port] -m mac [-t seconds]\n"
                    "       udpfwd blast -s addr [-p port] -m mac -d mac [-l bytes] "
                    "[-t seconds]\n");
    exit(1);
}

double now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

void parse_mac(const char *text, uint8_t *mac)
{
    unsigned b[6];
    char tail;
    if (sscanf(text, "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6)
        die("bad MAC address '%s'", text);
    for (int i = 0; i < 6; i++) {
        if (b[i] > 0xff)
            die("bad MAC address '%s'", text);
        mac[i] = (uint8_t)b[i];
    }
}

int forward(uint16_t port)
{
    static Station table[kMaxStations];
    int n = 0;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    int big = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) < 0)
        die("cannot bind the forwarder: %s", strerror(errno));
    fprintf(stderr, "udpfwd: forwarding on port %u\n", port);
    fflush(stderr);
    uint8_t buf[kBufSize];
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(fd, &rd);
        if (select(fd + 1, &rd, nullptr, nullptr, nullptr) <= 0)
            continue;
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t len = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &flen);
        if (len < 14)
            continue;
        int i;
        for (i = 0; i < n; i++)
            if (memcmp(table[i].mac, buf + 6, 6) == 0)
                break;
        if (i == n && n < kMaxStations)
            n++;
        if (i < n) {
            memcpy(table[i].mac, buf + 6, 6);
            table[i].addr = from;
        }
        for (i = 0; i < n; i++)
            if (memcmp(table[i].mac, buf, 6) == 0)
                break;
        if (i < n)
            sendto(fd, buf, (size_t)len, 0, reinterpret_cast<const sockaddr *>(&table[i].addr),
                   sizeof table[i].addr);
    }
}

int connect_to(const char *server, uint16_t port)
{
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(port);
    if (inet_pton(AF_INET, server, &dst.sin_addr) != 1)
        die("bad address '%s'", server);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int big = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&dst), sizeof dst) < 0)
        die("cannot reach %s", server);
    return fd;
}

// An Ethernet frame carrying an IPv4/UDP header and zeros, `len` bytes in all.
size_t make_frame(uint8_t *f, size_t len, const uint8_t *src, const uint8_t *dst)
{
    if (len < 42)
        len = 42;
    memset(f, 0, len);
    memcpy(f, dst, 6);
    memcpy(f + 6, src, 6);
    f[12] = 0x08;
    uint8_t *ip = f + 14;
    ip[0] = 0x45;
    ip[2] = (uint8_t)((len - 14) >> 8);
    ip[3] = (uint8_t)(len - 14);
    ip[8] = 64;
    ip[9] = 17;
    const uint8_t saddr[4] = {203, 0, 113, 7}, daddr[4] = {203, 0, 113, 8};
    memcpy(ip + 12, saddr, 4);
    memcpy(ip + 16, daddr, 4);
    return len;
}

int sink(const char *server, uint16_t port, const uint8_t *mac, double limit)
{
    int fd = connect_to(server, port);
    const uint8_t bcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    uint8_t hello[64], buf[kBufSize];
    size_t hlen = make_frame(hello, 60, mac, bcast);
    unsigned long long n = 0;
    double start = now(), first = 0, last = 0, announced = 0;
    bool ready = false;
    for (;;) {
        double t = now();
        if (t - announced >= 1.0) {
            send(fd, hello, hlen, 0);
            announced = t;
            if (!ready) {
                ready = true;
                fprintf(stderr, "udpfwd: sink ready\n");
                fflush(stderr);
            }
        }
        if ((n > 0 && t - last > 1.0) || (limit > 0 && t - start > limit))
            break;
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(fd, &rd);
        timeval tv{0, 100000};
        if (select(fd + 1, &rd, nullptr, nullptr, &tv) <= 0)
            continue;
        ssize_t len = recv(fd, buf, sizeof buf, 0);
        if (len <= 0)
            continue;
        t = now();
        if (n++ == 0)
            first = t;
        last = t;
    }
    printf("received %llu frames in %.6f seconds\n", n, n > 1 ? last - first : 0.0);
    return 0;
}

int blast(const char *server, uint16_t port, const uint8_t *src, const uint8_t *dst, size_t len,
          double seconds)
{
    int fd = connect_to(server, port);
    uint8_t f[kBufSize];
    len = make_frame(f, len > sizeof f ? sizeof f : len, src, dst);
    unsigned long long n = 0;
    double start = now(), t = start;
    while (t - start < seconds) {
        for (int i = 0; i < 64; i++)
            if (send(fd, f, len, 0) == (ssize_t)len)
                n++;
        t = now();
    }
    printf("sent %llu frames in %.6f seconds\n", n, t - start);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        usage();
    const char *mode = argv[1];
    const char *server = nullptr;
    uint16_t port = 10008;
    uint8_t mac[6] = {}, dst[6] = {};
    bool have_mac = false, have_dst = false;
    size_t len = 64;
    double seconds = 0;
    int ch;
    optind = 2;
    while ((ch = getopt(argc, argv, "s:p:m:d:l:t:")) != -1) {
        switch (ch) {
        case 's':
            server = optarg;
            break;
        case 'p':
            port = (uint16_t)atoi(optarg);
            break;
        case 'm':
            parse_mac(optarg, mac);
            have_mac = true;
            break;
        case 'd':
            parse_mac(optarg, dst);
            have_dst = true;
            break;
        case 'l':
            len = (size_t)atoi(optarg);
            break;
        case 't':
            seconds = atof(optarg);
            break;
        default:
            usage();
        }
    }
    if (strcmp(mode, "forward") == 0)
        return forward(port);
    if (!server || !have_mac)
        usage();
    if (strcmp(mode, "sink") == 0)
        return sink(server, port, mac, seconds);
    if (strcmp(mode, "blast") == 0 && have_dst)
        return blast(server, port, mac, dst, len, seconds > 0 ? seconds : 2.0);
    usage();
}
