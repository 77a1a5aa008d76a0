// veldload: holds thousands of veld client sessions cheaply, for the scale
// benchmark. Two modes:
//
//   veldload clients -s SERVER -n N [options]
//     N stations, each with its own UDP source port (one socket each) and
//     MAC address 02:4c:00:00:HI:LO, IPv4 address IPBASE + i. Every station
//     announces itself at start (a gratuitous ARP), answers ARP requests for
//     its address, and on its own schedule sends keepalives (IPv4/UDP frames
//     to A remote addresses every K seconds) and announcements (every P
//     seconds). Station 0 pings the gateway through the tunnel; station 1
//     sends probe frames to station 2 (client to client, through veld's
//     loop only). Samples go to standard output at the end:
//       ping <send time> <round trip us>     (CLOCK_MONOTONIC seconds)
//       probe <send time> <one-way delay us>
//     and a summary line "sent F frames ...".
//
//   veldload arp -i TAPDEV -n N -g GATEWAY [-I IPBASE] [-P PERIOD] [-t SECONDS]
//     Run beside veld: writes the ARP requests the kernel broadcasts when it
//     resolves a client's address afresh, one per station every PERIOD
//     seconds, into the TAP device's side of the link.
//
// Commands on standard input (clients mode, one letter per line): "q" pauses
// everything periodic (keepalives, announcements, pings, probes), "k"
// resumes it. Bounded by -t in every mode.
#include <arpa/inet.h>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace
{
constexpr uint16_t VELD_PORT = 10008;
constexpr uint16_t ETH_ARP = 0x0806, ETH_IP = 0x0800, ETH_PROBE = 0x88b5;
constexpr size_t FRAME_MAX = 2048;

double now_mono()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint16_t get16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

uint16_t cksum(const uint8_t *p, size_t n)
{
    uint32_t s = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        s += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1)
        s += static_cast<uint32_t>(p[n - 1] << 8);
    while (s >> 16)
        s = (s & 0xffff) + (s >> 16);
    return static_cast<uint16_t>(~s);
}

void station_mac(uint32_t i, uint8_t mac[6])
{
    const uint8_t m[6] = {0x02,
                          0x4c,
                          0,
                          static_cast<uint8_t>(i >> 16),
                          static_cast<uint8_t>(i >> 8),
                          static_cast<uint8_t>(i)};
    std::memcpy(mac, m, 6);
}

// 42-byte ARP frame.
size_t arp_frame(uint8_t *f, const uint8_t dst[6], const uint8_t sha[6], uint32_t spa,
                 const uint8_t tha[6], uint32_t tpa, uint16_t op)
{
    std::memcpy(f, dst, 6);
    std::memcpy(f + 6, sha, 6);
    put16(f + 12, ETH_ARP);
    const uint8_t hdr[6] = {0, 1, 8, 0, 6, 4};
    std::memcpy(f + 14, hdr, 6);
    put16(f + 20, op);
    std::memcpy(f + 22, sha, 6);
    std::memcpy(f + 28, &spa, 4);
    std::memcpy(f + 32, tha, 6);
    std::memcpy(f + 38, &tpa, 4);
    return 42;
}

// IPv4 header of 20 bytes at p; total length len.
void ip_header(uint8_t *p, uint32_t src, uint32_t dst, uint8_t proto, size_t len)
{
    std::memset(p, 0, 20);
    p[0] = 0x45;
    put16(p + 2, static_cast<uint16_t>(len));
    p[8] = 64;
    p[9] = proto;
    std::memcpy(p + 12, &src, 4);
    std::memcpy(p + 16, &dst, 4);
    put16(p + 10, cksum(p, 20));
}

[[noreturn]] void die(const char *what)
{
    std::fprintf(stderr, "veldload: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

const uint8_t BCAST[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const uint8_t ZERO6[6] = {};
// No station has it: keepalives are only counted by veld, then the kernel
// drops them for the foreign destination address.
const uint8_t NOWHERE[6] = {0x02, 0x4c, 0xff, 0xff, 0xff, 0xfe};

struct opts {
    const char *server = nullptr;
    uint32_t n = 0;
    uint16_t port = 30000;
    uint32_t ipbase = inet_addr("10.77.0.16");
    uint32_t gateway = inet_addr("10.77.0.1");
    uint32_t remote = inet_addr("198.18.0.0");
    unsigned addrs = 4;
    double keep = 3;
    double announce = 0;
    double seconds = 30;
    double ping_hz = 50;
    double probe_hz = 500;
    double ramp = 200; // new stations per 10 ms at start
    const char *tapdev = nullptr;
};

uint32_t ip_add(uint32_t base, uint32_t k)
{
    return htonl(ntohl(base) + k);
}

int clients(const opts &o)
{
    struct rlimit rl = {o.n + 64, o.n + 64};
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
        die("setrlimit");
    struct sockaddr_in srv = {};
    srv.sin_family = AF_INET;
    srv.sin_port = htons(VELD_PORT);
    if (inet_pton(AF_INET, o.server, &srv.sin_addr) != 1) {
        std::fprintf(stderr, "veldload: bad server address %s\n", o.server);
        return 1;
    }
    int ep = epoll_create1(0);
    if (ep < 0)
        die("epoll_create1");
    std::vector<int> fds(o.n);
    for (uint32_t i = 0; i < o.n; i++) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        if (fd < 0)
            die("socket");
        struct sockaddr_in me = {};
        me.sin_family = AF_INET;
        me.sin_port = htons(static_cast<uint16_t>(o.port + i));
        if (bind(fd, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0)
            die("bind");
        if (connect(fd, reinterpret_cast<sockaddr *>(&srv), sizeof srv) != 0)
            die("connect");
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u32 = i;
        if (epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0)
            die("epoll_ctl");
        fds[i] = fd;
    }
    (void)fcntl(0, F_SETFL, O_NONBLOCK);

    uint64_t sent = 0, send_err = 0, arp_answered = 0;
    uint8_t f[FRAME_MAX];
    auto send_frame = [&](uint32_t i, const uint8_t *fr, size_t len) {
        if (send(fds[i], fr, len, 0) == static_cast<ssize_t>(len))
            sent++;
        else
            send_err++;
    };
    auto announce = [&](uint32_t i) {
        uint8_t mac[6];
        station_mac(i, mac);
        uint32_t ip = ip_add(o.ipbase, i);
        send_frame(i, f, arp_frame(f, BCAST, mac, ip, ZERO6, ip, 1));
    };
    auto keepalive = [&](uint32_t i) {
        uint8_t mac[6];
        station_mac(i, mac);
        uint32_t ip = ip_add(o.ipbase, i);
        for (unsigned a = 0; a < o.addrs; a++) {
            std::memcpy(f, NOWHERE, 6);
            std::memcpy(f + 6, mac, 6);
            put16(f + 12, ETH_IP);
            size_t iplen = 20 + 8 + 4;
            ip_header(f + 14, ip, ip_add(o.remote, a), 17, iplen);
            uint8_t *u = f + 34;
            put16(u, 40000);
            put16(u + 2, 9);
            put16(u + 4, 12);
            put16(u + 6, 0);
            std::memset(u + 8, 0, 4);
            send_frame(i, f, 14 + iplen);
        }
    };

    // Stations come up in steps, so that veld's socket buffer takes them
    // all; each with one frame to a remote address (a broadcast would cost
    // a copy per station already there).
    double t0 = now_mono();
    for (uint32_t i = 0; i < o.n; i++) {
        uint8_t mac[6];
        station_mac(i, mac);
        std::memcpy(f, NOWHERE, 6);
        std::memcpy(f + 6, mac, 6);
        put16(f + 12, ETH_IP);
        ip_header(f + 14, ip_add(o.ipbase, i), o.remote, 17, 28);
        std::memset(f + 34, 0, 8);
        send_frame(i, f, 42);
        if ((i + 1) % static_cast<uint32_t>(o.ramp) == 0)
            usleep(10000);
    }
    std::fprintf(stderr, "veldload: %u stations up in %.2f s\n", o.n, now_mono() - t0);

    uint8_t gw_mac[6];
    bool have_gw = false;
    std::vector<std::pair<double, double>> pings, probes;
    double start = now_mono(), end = start + o.seconds;
    std::vector<double> next_keep(o.n), next_ann(o.n);
    for (uint32_t i = 0; i < o.n; i++) {
        next_keep[i] = start + o.keep * i / o.n;
        next_ann[i] = o.announce > 0 ? start + o.announce * i / o.n : 1e300;
    }
    bool keeping = true;
    double next_ping = start, next_probe = start, next_gw_ask = start;
    uint32_t ping_seq = 0;
    uint32_t kcur = 0, acur = 0; // stations scanned round robin
    struct epoll_event evs[256];
    uint8_t buf[FRAME_MAX];
    for (;;) {
        double now = now_mono();
        if (now >= end)
            break;
        char cmd;
        while (read(0, &cmd, 1) == 1) {
            if (cmd == 'q')
                keeping = false;
            else if (cmd == 'k')
                keeping = true;
        }
        // Keepalives and announcements that are due, a few per turn, so that
        // what arrives meanwhile is read (and timed) soon.
        for (unsigned b = 0; b < 64 && o.n > 0; b++) {
            uint32_t i = kcur;
            if (next_keep[i] > now)
                break;
            if (keeping)
                keepalive(i);
            next_keep[i] += o.keep;
            kcur = (kcur + 1) % o.n;
        }
        for (unsigned b = 0; b < 64 && o.n > 0 && o.announce > 0; b++) {
            uint32_t i = acur;
            if (next_ann[i] > now)
                break;
            if (keeping)
                announce(i);
            next_ann[i] += o.announce;
            acur = (acur + 1) % o.n;
        }
        if (!have_gw && now >= next_gw_ask && o.n > 0) {
            uint8_t mac[6];
            station_mac(0, mac);
            send_frame(0, f, arp_frame(f, BCAST, mac, o.ipbase, ZERO6, o.gateway, 1));
            next_gw_ask = now + 0.5;
        }
        if (keeping && have_gw && o.ping_hz > 0 && now >= next_ping) {
            uint8_t mac[6];
            station_mac(0, mac);
            std::memcpy(f, gw_mac, 6);
            std::memcpy(f + 6, mac, 6);
            put16(f + 12, ETH_IP);
            size_t iplen = 20 + 8 + 8;
            ip_header(f + 14, o.ipbase, o.gateway, 1, iplen);
            uint8_t *ic = f + 34;
            ic[0] = 8;
            ic[1] = 0;
            put16(ic + 2, 0);
            put16(ic + 4, 0x4c4c);
            put16(ic + 6, static_cast<uint16_t>(ping_seq++));
            double t = now_mono();
            std::memcpy(ic + 8, &t, 8);
            put16(ic + 2, cksum(ic, 16));
            send_frame(0, f, 14 + iplen);
            next_ping += 1 / o.ping_hz;
            if (next_ping < now)
                next_ping = now;
        }
        if (keeping && o.n >= 3 && o.probe_hz > 0 && now >= next_probe) {
            uint8_t a[6], b[6];
            station_mac(1, a);
            station_mac(2, b);
            std::memcpy(f, b, 6);
            std::memcpy(f + 6, a, 6);
            put16(f + 12, ETH_PROBE);
            double t = now_mono();
            std::memcpy(f + 14, &t, 8);
            std::memset(f + 22, 0, 38);
            send_frame(1, f, 60);
            next_probe += 1 / o.probe_hz;
            if (next_probe < now)
                next_probe = now;
        }

        int n = epoll_wait(ep, evs, 256, now + 0.001 < end ? 1 : 0);
        for (int e = 0; e < n; e++) {
            uint32_t i = evs[e].data.u32;
            for (;;) {
                ssize_t r = recv(fds[i], buf, sizeof buf, 0);
                if (r < 0)
                    break;
                double t = now_mono();
                if (r < 14)
                    continue;
                uint16_t et = get16(buf + 12);
                uint32_t myip = ip_add(o.ipbase, i);
                if (et == ETH_ARP && r >= 42) {
                    uint32_t spa, tpa;
                    std::memcpy(&spa, buf + 28, 4);
                    std::memcpy(&tpa, buf + 38, 4);
                    uint16_t op = get16(buf + 20);
                    if (op == 1 && tpa == myip && spa != tpa) {
                        uint8_t mac[6];
                        station_mac(i, mac);
                        send_frame(i, f, arp_frame(f, buf + 22, mac, myip, buf + 22, spa, 2));
                        arp_answered++;
                    } else if (op == 2 && i == 0 && spa == o.gateway) {
                        std::memcpy(gw_mac, buf + 22, 6);
                        have_gw = true;
                    }
                } else if (et == ETH_IP && r >= 14 + 20 + 16 && buf[23] == 1 && buf[34] == 0 &&
                           get16(buf + 38) == 0x4c4c) {
                    double sent_at;
                    std::memcpy(&sent_at, buf + 42, 8);
                    pings.emplace_back(sent_at, (t - sent_at) * 1e6);
                } else if (et == ETH_PROBE && r >= 22 && i == 2) {
                    double sent_at;
                    std::memcpy(&sent_at, buf + 14, 8);
                    probes.emplace_back(sent_at, (t - sent_at) * 1e6);
                }
            }
        }
    }
    for (auto &[t, v] : pings)
        std::printf("ping %.6f %.1f\n", t, v);
    for (auto &[t, v] : probes)
        std::printf("probe %.6f %.1f\n", t, v);
    std::printf("sent %" PRIu64 " frames (%" PRIu64 " failed), answered %" PRIu64
                " ARP requests, %zu pings, %zu probes\n",
                sent, send_err, arp_answered, pings.size(), probes.size());
    return 0;
}

// The kernel's side: ARP requests for every station's address, broadcast
// from the TAP device, spread evenly over each period.
int kernel_arp(const opts &o)
{
    int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ARP));
    if (fd < 0)
        die("socket(AF_PACKET)");
    struct ifreq ifr = {};
    std::snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", o.tapdev);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) != 0)
        die("SIOCGIFINDEX");
    int ifindex = ifr.ifr_ifindex;
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) != 0)
        die("SIOCGIFHWADDR");
    uint8_t mac[6];
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    struct sockaddr_ll ll = {};
    ll.sll_family = AF_PACKET;
    ll.sll_ifindex = ifindex;
    ll.sll_halen = 6;
    std::memcpy(ll.sll_addr, BCAST, 6);
    uint8_t f[64];
    double start = now_mono(), end = start + o.seconds;
    uint64_t sent = 0;
    uint32_t k = 0;
    while (now_mono() < end && o.n > 0) {
        double due = start + o.announce * static_cast<double>(sent) / o.n;
        double now = now_mono();
        if (due > now) {
            usleep(static_cast<useconds_t>((due - now) * 1e6));
            continue;
        }
        size_t len = arp_frame(f, BCAST, mac, o.gateway, ZERO6, ip_add(o.ipbase, k), 1);
        if (sendto(fd, f, len, 0, reinterpret_cast<sockaddr *>(&ll), sizeof ll) ==
            static_cast<ssize_t>(len))
            sent++;
        else
            die("sendto");
        k = (k + 1) % o.n;
    }
    std::printf("sent %" PRIu64 " ARP requests\n", sent);
    return 0;
}

[[noreturn]] void usage()
{
    std::fprintf(stderr,
                 "usage: veldload clients -s SERVER -n N [-p PORT] [-I IPBASE] [-g GATEWAY]\n"
                 "                [-R REMOTEBASE] [-a ADDRS] [-k KEEP] [-P ANNOUNCE] [-t SECONDS]\n"
                 "                [-H PING_HZ] [-Q PROBE_HZ] [-r RAMP]\n"
                 "       veldload arp -i TAPDEV -n N [-I IPBASE] [-g GATEWAY] [-P PERIOD] "
                 "[-t SECONDS]\n");
    std::exit(1);
}
} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        usage();
    std::string mode = argv[1];
    opts o;
    int ch;
    optind = 2;
    while ((ch = getopt(argc, argv, "s:n:p:I:g:R:a:k:P:t:H:Q:r:i:")) != -1) {
        switch (ch) {
        case 's':
            o.server = optarg;
            break;
        case 'n':
            o.n = static_cast<uint32_t>(std::strtoul(optarg, nullptr, 10));
            break;
        case 'p':
            o.port = static_cast<uint16_t>(std::strtoul(optarg, nullptr, 10));
            break;
        case 'I':
            o.ipbase = inet_addr(optarg);
            break;
        case 'g':
            o.gateway = inet_addr(optarg);
            break;
        case 'R':
            o.remote = inet_addr(optarg);
            break;
        case 'a':
            o.addrs = static_cast<unsigned>(std::strtoul(optarg, nullptr, 10));
            break;
        case 'k':
            o.keep = std::strtod(optarg, nullptr);
            break;
        case 'P':
            o.announce = std::strtod(optarg, nullptr);
            break;
        case 't':
            o.seconds = std::strtod(optarg, nullptr);
            break;
        case 'H':
            o.ping_hz = std::strtod(optarg, nullptr);
            break;
        case 'Q':
            o.probe_hz = std::strtod(optarg, nullptr);
            break;
        case 'r':
            o.ramp = std::strtod(optarg, nullptr);
            break;
        case 'i':
            o.tapdev = optarg;
            break;
        default:
            usage();
        }
    }
    if (o.seconds <= 0 || o.seconds > 3600 || o.keep <= 0 || o.ramp < 1) {
        std::fprintf(stderr, "veldload: -t must be 1..3600 seconds, -k and -r positive\n");
        return 1;
    }
    if (mode == "clients" && o.server != nullptr && o.n > 0 && o.n <= 60000)
        return clients(o);
    if (mode == "arp" && o.tapdev != nullptr && o.announce > 0)
        return kernel_arp(o);
    usage();
}
