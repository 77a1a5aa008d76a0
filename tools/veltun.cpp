// veltun: the client end of a velkarn tunnel.
//
// Opens a TAP interface in the current network namespace and carries every Ethernet frame to a
// node's veld and back, over UDP datagrams, a framed TCP stream or ICMP echo requests. With the
// TAP interface addressed in the node's client subnet, ARP, ping and TCP run through the tunnel
// like over a wire.
//
// Each turn of the loop takes every frame that is ready, up to a batch: one recvmmsg on the
// datagram socket, repeated non-blocking reads of the TAP device, every complete unit of what the
// TCP stream has delivered; frames queued for the node leave in one sendmmsg or one send.
//
// Offloads (-O on, the default, where the kernel offers them): the TAP device hands over whole
// TCP segments of up to 64 KiB, cut here into frames of the interface's MTU exactly as the kernel
// would; over UDP, runs of equal frames leave in one message (UDP_SEGMENT), and runs the node sent
// that way arrive in one buffer (UDP_GRO). On the wire every datagram still carries one frame.

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/icmp.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <netinet/udp.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <ctime>
#include <unistd.h>
#include <vector>

#include "vnet.h"

namespace
{

constexpr uint16_t kDefaultPort = 10008;
// The node's TAP device has this MTU; the same here keeps frames as large as the node's.
constexpr int kDefaultMtu = 1450;
constexpr int kMtuMax = 9000;
// Frames taken per turn from each side; bounds the time one side can keep the other waiting.
constexpr unsigned kBatch = 64;
// One frame of the largest MTU with a VLAN tag, plus the IPv4 and tunnel headers in front of it.
constexpr size_t kSlot = 9216;
// Datagram socket buffers, as large as the node's UDP socket: a burst from the node does not
// overflow them while we are writing the TAP device.
constexpr int kSockBuf = 1048576;
// TCP stream bytes read at once; every complete unit in them is handled before the next read.
constexpr size_t kTcpInBuf = 65536;
// Frames veld accepts on its TCP stream: len + 4 must stay below its 2048-byte unit buffer.
constexpr unsigned kTcpLenMax = 2043;
// Queued TCP output beyond this is dropped like frames on a congested link.
constexpr size_t kTcpQueueMax = 4u << 20;
constexpr uint8_t kIcmpMagic[4] = {0xf1, 0x6d, 0x9f, 0xc4};
constexpr size_t kIcmpHdr = 12;
// UDP_SEGMENT: datagrams per message at most (the kernel's oldest limit), and bytes.
constexpr unsigned kGsoSegs = 64;
constexpr size_t kGsoBytes = 65000;
// UDP_GRO: buffers of one coalesced run each.
constexpr unsigned kGroBatch = 32;
constexpr size_t kGroBuf = 65536;

enum class Transport { UDP, TCP, ICMP };

struct Options {
    const char *server = nullptr;
    Transport transport = Transport::UDP;
    uint16_t port = kDefaultPort;
    const char *tapname = "veltun%d";
    const char *addr = nullptr;
    const char *mac = nullptr;
    int mtu = kDefaultMtu;
    const char *bind = nullptr;
    int icmp_id = -1;
    int icmp_seq = -1;
    bool vary_id = false;
    int keepalive = 60;
    bool offload = true;
    bool coalesce = true;
};

struct Stats {
    unsigned long long tap_rx, tap_tx, net_tx, net_rx, dropped, bad, own;
};

Stats stats;
uint8_t own_mac[6];
volatile sig_atomic_t want_stats;

void usage()
{
    static const char *const lines[][2] = {
        {"-s address", "Node address (IPv4, required)"},
        {"-t udp|tcp|icmp", "Transport (default udp)"},
        {"-p port", "UDP/TCP port of the node (default 10008)"},
        {"-i name", "TAP interface name (default veltun%d)"},
        {"-a address/len", "IPv4 address of the TAP interface"},
        {"-m mac", "MAC address of the TAP interface (default random)"},
        {"-M mtu", "MTU of the TAP interface (default 1450)"},
        {"-b address", "Local address to send from"},
        {"-I id", "ICMP echo identifier (default random)"},
        {"-q seq", "ICMP echo sequence number, the session key (default random)"},
        {"-V", "ICMP: change the identifier with every request"},
        {"-k seconds", "Announce the address every so often (default 60, 0: only at start)"},
        {"-O on|off|nocoalesce", "Offloads (default on; nocoalesce: frames to the TAP one by one)"},
    };
    fprintf(stderr, "usage: veltun -s address [options]\n");
    for (auto &l : lines)
        fprintf(stderr, "    %-28s # %s\n", l[0], l[1]);
    exit(1);
}

[[noreturn]] void die(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fprintf(stderr, "veltun: ");
    vfprintf(stderr, fmt, ap);
    fprintf(stderr, "\n");
    va_end(ap);
    exit(1);
}

long number(const char *arg, const char *what, long lo, long hi)
{
    char *end;
    errno = 0;
    long v = strtol(arg, &end, 0);
    if (errno != 0 || end == arg || *end != '\0' || v < lo || v > hi)
        die("bad %s '%s' (expected %ld..%ld)", what, arg, lo, hi);
    return v;
}

in_addr ipv4(const char *text, const char *what)
{
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1)
        die("bad %s '%s' (expected a dotted IPv4 address)", what, text);
    return a;
}

void random_bytes(void *p, size_t n)
{
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || read(fd, p, n) != (ssize_t)n)
        die("cannot read /dev/urandom: %s", strerror(errno));
    close(fd);
}

uint16_t inet_cksum(const uint8_t *p, size_t len)
{
    uint32_t sum = 0;
    for (; len > 1; p += 2, len -= 2)
        sum += (uint32_t)p[0] << 8 | p[1];
    if (len)
        sum += (uint32_t)p[0] << 8;
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return htons((uint16_t)~sum);
}

void ifreq_ioctl(int s, unsigned long req, ifreq *ifr, const char *what)
{
    if (ioctl(s, req, ifr) < 0)
        die("%s on %s: %s", what, ifr->ifr_name, strerror(errno));
}

// Whether the TAP device carries the virtio-net header (and so takes whole TCP segments).
bool tap_vnet;
// Frames from the node on their way to the TAP device, gathered into segments (-O on).
bool tap_coalesce;
vnet_coalescer *coal;
int coal_tap = -1;
std::string offload_note;

// Creates the TAP interface and gives it its MAC address, MTU and IPv4 address.
int tap_open(const Options &o, std::string *name, in_addr *ipout)
{
    if (strlen(o.tapname) >= IFNAMSIZ)
        die("TAP name '%s' is too long (at most %d bytes)", o.tapname, IFNAMSIZ - 1);
    int fd = -1;
    ifreq ifr{};
    if (o.offload) {
        fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        if (fd < 0)
            die("cannot open /dev/net/tun: %s", strerror(errno));
        unsigned features = 0;
        int hdrsz = (int)VNET_HDR_LEN;
        ifr.ifr_flags = IFF_TAP | IFF_NO_PI | IFF_VNET_HDR;
        snprintf(ifr.ifr_name, IFNAMSIZ, "%s", o.tapname);
        if (ioctl(fd, TUNGETFEATURES, &features) < 0 || !(features & IFF_VNET_HDR)) {
            offload_note = "no virtio-net header on this kernel";
        } else if (ioctl(fd, TUNSETIFF, &ifr) < 0) {
            offload_note = std::string("TUNSETIFF: ") + strerror(errno);
        } else if (ioctl(fd, TUNSETVNETHDRSZ, &hdrsz) < 0 ||
                   ioctl(fd, TUNSETOFFLOAD, TUN_F_CSUM | TUN_F_TSO4 | TUN_F_TSO_ECN) < 0) {
            offload_note = std::string("TUNSETOFFLOAD: ") + strerror(errno);
        } else {
            tap_vnet = true;
            tap_coalesce = o.coalesce;
            if (tap_coalesce)
                coal = new vnet_coalescer;
        }
        if (!tap_vnet) {
            close(fd); // a device made with the header goes with it
            fd = -1;
        }
    } else {
        offload_note = "switched off by -O off";
    }
    if (fd < 0) {
        fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        if (fd < 0)
            die("cannot open /dev/net/tun: %s", strerror(errno));
        ifr = ifreq{};
        ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
        snprintf(ifr.ifr_name, IFNAMSIZ, "%s", o.tapname);
        if (ioctl(fd, TUNSETIFF, &ifr) < 0)
            die("cannot create TAP interface '%s': %s", o.tapname, strerror(errno));
    }
    *name = ifr.ifr_name;

    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        die("socket: %s", strerror(errno));
    uint8_t mac[6];
    if (o.mac) {
        unsigned b[6];
        char tail;
        if (sscanf(o.mac, "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) !=
            6)
            die("bad MAC address '%s' (expected six hexadecimal bytes separated by ':')", o.mac);
        for (int i = 0; i < 6; i++) {
            if (b[i] > 0xff)
                die("bad MAC address '%s'", o.mac);
            mac[i] = (uint8_t)b[i];
        }
        if (mac[0] & 1)
            die("MAC address '%s' is a group address", o.mac);
    } else {
        random_bytes(mac, sizeof mac);
        mac[0] = (uint8_t)((mac[0] & 0xfe) | 0x02);
    }
    memcpy(own_mac, mac, 6);
    memset(&ifr.ifr_ifru, 0, sizeof ifr.ifr_ifru);
    ifr.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    memcpy(ifr.ifr_hwaddr.sa_data, mac, 6);
    ifreq_ioctl(s, SIOCSIFHWADDR, &ifr, "setting the MAC address");
    memset(&ifr.ifr_ifru, 0, sizeof ifr.ifr_ifru);
    ifr.ifr_mtu = o.mtu;
    ifreq_ioctl(s, SIOCSIFMTU, &ifr, "setting the MTU");
    if (o.addr) {
        std::string a(o.addr);
        size_t slash = a.find('/');
        long plen = 24;
        if (slash != std::string::npos) {
            plen = number(a.c_str() + slash + 1, "prefix length", 1, 32);
            a.resize(slash);
        }
        in_addr ip = ipv4(a.c_str(), "TAP address");
        *ipout = ip;
        auto *sin = reinterpret_cast<sockaddr_in *>(&ifr.ifr_addr);
        memset(&ifr.ifr_ifru, 0, sizeof ifr.ifr_ifru);
        sin->sin_family = AF_INET;
        sin->sin_addr = ip;
        ifreq_ioctl(s, SIOCSIFADDR, &ifr, "setting the address");
        memset(&ifr.ifr_ifru, 0, sizeof ifr.ifr_ifru);
        sin->sin_family = AF_INET;
        sin->sin_addr.s_addr = htonl(plen == 32 ? 0xffffffffu : ~(0xffffffffu >> plen));
        ifreq_ioctl(s, SIOCSIFNETMASK, &ifr, "setting the netmask");
    }
    memset(&ifr.ifr_ifru, 0, sizeof ifr.ifr_ifru);
    ifreq_ioctl(s, SIOCGIFFLAGS, &ifr, "reading the flags");
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ifreq_ioctl(s, SIOCSIFFLAGS, &ifr, "bringing the interface up");
    close(s);
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)
        die("fcntl on the TAP device: %s", strerror(errno));
    return fd;
}

// Sizes a datagram socket buffer. The forced variant passes net.core.[rw]mem_max, which is
// smaller than kSockBuf on many hosts; without CAP_NET_ADMIN the plain one takes what it may.
void set_bufsize(int fd, int opt, int force_opt, const char *name)
{
    int v = kSockBuf;
    if (setsockopt(fd, SOL_SOCKET, force_opt, &v, sizeof v) == 0)
        return;
    if (setsockopt(fd, SOL_SOCKET, opt, &v, sizeof v) < 0)
        die("setsockopt(%s): %s", name, strerror(errno));
}

int net_open(const Options &o)
{
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_addr = ipv4(o.server, "node address");
    dst.sin_port = htons(o.port);
    int fd = -1;
    switch (o.transport) {
    case Transport::UDP:
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        break;
    case Transport::TCP:
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        break;
    case Transport::ICMP:
        fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        dst.sin_port = 0;
        break;
    }
    if (fd < 0)
        die("socket: %s", strerror(errno));
    if (o.bind) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr = ipv4(o.bind, "local address");
        if (bind(fd, reinterpret_cast<sockaddr *>(&src), sizeof src) < 0)
            die("bind to %s: %s", o.bind, strerror(errno));
    }
    if (o.transport != Transport::TCP) {
        set_bufsize(fd, SO_SNDBUF, SO_SNDBUFFORCE, "SO_SNDBUF");
        set_bufsize(fd, SO_RCVBUF, SO_RCVBUFFORCE, "SO_RCVBUF");
    }
    if (o.transport == Transport::ICMP) {
        icmp_filter filt{};
        filt.data = ~(1u << ICMP_ECHOREPLY);
        if (setsockopt(fd, SOL_RAW, ICMP_FILTER, &filt, sizeof filt) < 0)
            die("setsockopt(ICMP_FILTER): %s", strerror(errno));
    }
    if (o.transport == Transport::TCP) {
        // Bounded connect: a node that does not answer is an error, not a hang.
        int fl = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, fl | O_NONBLOCK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&dst), sizeof dst) < 0) {
            if (errno != EINPROGRESS)
                die("connect to %s:%u: %s", o.server, o.port, strerror(errno));
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, 10000) != 1)
                die("connect to %s:%u: timed out", o.server, o.port);
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err)
                die("connect to %s:%u: %s", o.server, o.port, strerror(err));
        }
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    } else if (connect(fd, reinterpret_cast<sockaddr *>(&dst), sizeof dst) < 0) {
        die("connect to %s: %s", o.server, strerror(errno));
    }
    return fd;
}

void coal_out(void *arg, const uint8_t hdr[VNET_HDR_LEN], const uint8_t *frame, size_t len)
{
    unsigned frames = static_cast<vnet_coalescer *>(arg)->frames;
    if (frames == 0)
        frames = 1; // a frame that could join nothing, written alone
    iovec iov[2] = {{const_cast<uint8_t *>(hdr), VNET_HDR_LEN},
                    {const_cast<uint8_t *>(frame), len}};
    if (writev(coal_tap, iov, 2) != (ssize_t)(len + VNET_HDR_LEN)) {
        stats.dropped += frames;
        return;
    }
    stats.tap_tx += frames;
}

void tap_write(int tap, const uint8_t *frame, size_t len)
{
    // A frame that carries our own source address is our own coming back (for ICMP: the node's
    // kernel answering the echo request itself); a switch never sends it, so it is not written.
    if (len >= 12 && memcmp(frame + 6, own_mac, 6) == 0) {
        stats.own++;
        return;
    }
    if (tap_coalesce) {
        coal_tap = tap;
        VNET_CoalesceAdd(coal, frame, len, coal_out, coal);
        return;
    }
    static uint8_t plain[VNET_HDR_LEN];
    iovec iov[2] = {{plain, sizeof plain}, {const_cast<uint8_t *>(frame), len}};
    ssize_t want = (ssize_t)len + (tap_vnet ? (ssize_t)sizeof plain : 0);
    if ((tap_vnet ? writev(tap, iov, 2) : write(tap, frame, len)) != want) {
        stats.dropped++;
        return;
    }
    stats.tap_tx++;
}

// Writes what the coalescer holds; at the end of every batch from the node.
void tap_flush()
{
    if (tap_coalesce)
        VNET_CoalesceFlush(coal, coal_out, coal);
}

// Reports a failed send now and then, without flooding standard error.
void send_failed(const char *what)
{
    static unsigned long long n;
    if (n++ % 1000 == 0)
        fprintf(stderr, "veltun: %s: %s (%llu so far)\n", what, strerror(errno), n);
    stats.dropped++;
}

// A batch of messages in fixed slots, for recvmmsg and sendmmsg. Each slot keeps kIcmpHdr bytes
// of room in front of its frame, so an ICMP header is written in place, not copied.
struct Batch {
    std::vector<uint8_t> mem = std::vector<uint8_t>(kBatch * kSlot);
    mmsghdr msg[kBatch];
    iovec iov[kBatch];
    size_t len[kBatch];

    uint8_t *slot(unsigned i) { return mem.data() + (size_t)i * kSlot; }
    uint8_t *frame(unsigned i) { return slot(i) + kIcmpHdr; }

    // Points message i at n bytes from p (inside the slot), no address: the socket is connected.
    void set(unsigned i, uint8_t *p, size_t n)
    {
        iov[i] = {p, n};
        msg[i] = {};
        msg[i].msg_hdr.msg_iov = &iov[i];
        msg[i].msg_hdr.msg_iovlen = 1;
    }
};

struct Tunnel {
    Options o;
    int tap = -1;
    int net = -1;
    std::vector<uint8_t> out; // TCP: units not yet taken by the socket, from out_off
    size_t out_off = 0;
    std::vector<uint8_t> in = std::vector<uint8_t>(kTcpInBuf); // TCP: stream bytes not yet
    size_t in_len = 0;                                         // handled, from the start
    uint16_t icmp_id = 0, icmp_seq = 0;
    Batch tx, rx;
    in_addr ip{};
    bool has_ip = false;
    bool gso = false, gro = false; // UDP_SEGMENT, UDP_GRO on the UDP socket
    // Offloads: one read of the TAP device (header, then a frame or a whole segment), the frame
    // being cut, the runs of a UDP_SEGMENT batch and the buffers of UDP_GRO.
    std::vector<uint8_t> seg = std::vector<uint8_t>(VNET_HDR_LEN + VNET_MAX_FRAME);
    std::vector<uint8_t> cut = std::vector<uint8_t>(VNET_MAX_FRAME);
    unsigned pending = 0; // frames of the tx batch filled from the TAP device
    mmsghdr gmsg[kBatch];
    alignas(cmsghdr) uint8_t gctl[kBatch][CMSG_SPACE(sizeof(uint16_t))];
    std::vector<uint8_t> gro_mem;
    mmsghdr gro_msg[kGroBatch];
    iovec gro_iov[kGroBatch];
    alignas(cmsghdr) uint8_t gro_ctl[kGroBatch][CMSG_SPACE(sizeof(int))];

    // Probes and sets the UDP socket's offloads; the start-up note.
    std::string udp_offloads()
    {
        if (o.transport != Transport::UDP)
            return "";
        if (!o.offload)
            return "; UDP_SEGMENT and UDP_GRO off";
        int zero = 0, one = 1;
        gso = setsockopt(net, SOL_UDP, UDP_SEGMENT, &zero, sizeof zero) == 0;
        gro = setsockopt(net, SOL_UDP, UDP_GRO, &one, sizeof one) == 0;
        if (gro)
            gro_mem.resize(kGroBatch * kGroBuf);
        return std::string("; UDP_SEGMENT ") + (gso ? "on" : "not offered") + ", UDP_GRO " +
               (gro ? "on" : "not offered");
    }

    bool backlog() const { return out_off < out.size(); }

    // Gratuitous ARP: the node learns the session before anyone needs to reach us, other
    // clients learn our address, and the session does not expire while we are idle.
    void announce()
    {
        if (!has_ip)
            return;
        uint8_t *f = tx.frame(0);
        memset(f, 0, 42);
        memset(f, 0xff, 6);
        memcpy(f + 6, own_mac, 6);
        f[12] = 0x08, f[13] = 0x06;                 // ARP
        f[14] = 0, f[15] = 1, f[16] = 8, f[17] = 0; // Ethernet, IPv4
        f[18] = 6, f[19] = 4, f[20] = 0, f[21] = 1; // request
        memcpy(f + 22, own_mac, 6);
        memcpy(f + 28, &ip, 4);
        memcpy(f + 38, &ip, 4);
        tx.len[0] = 42;
        to_net(1);
    }

    static void take_cut(void *arg, const uint8_t *frame, size_t len)
    {
        auto *t = static_cast<Tunnel *>(arg);
        if (len > kSlot - kIcmpHdr) {
            stats.dropped++;
            return;
        }
        memcpy(t->tx.frame(t->pending), frame, len);
        t->tx.len[t->pending++] = len;
        stats.tap_rx++;
        if (t->pending == kBatch) {
            t->to_net(kBatch);
            t->pending = 0;
        }
    }

    // With the virtio-net header: reads up to a batch of frames or segments, cuts the segments
    // into frames, and sends them to the node a batch at a time.
    void from_tap_vnet(const char *tapname)
    {
        pending = 0;
        for (unsigned reads = 0; reads < kBatch; reads++) {
            ssize_t r = read(tap, seg.data(), seg.size());
            if (r < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    break;
                die("read from %s: %s", tapname, strerror(errno));
            }
            if (r <= (ssize_t)VNET_HDR_LEN)
                break;
            vnet_hdr h;
            VNET_ParseHdr(seg.data(), (size_t)r, &h);
            if (VNET_Segment(h, seg.data() + VNET_HDR_LEN, (size_t)r - VNET_HDR_LEN, cut.data(),
                             cut.size(), take_cut, this) < 0) {
                stats.bad++;
                fprintf(stderr, "veltun: segment from %s cannot be cut (gso type %u), dropped\n",
                        tapname, h.gso_type);
            }
        }
        if (pending > 0)
            to_net(pending);
        pending = 0;
    }

    // Reads the frames the TAP device has ready, up to a batch, and sends them to the node.
    void from_tap(const char *tapname)
    {
        if (tap_vnet) {
            from_tap_vnet(tapname);
            return;
        }
        unsigned n = 0;
        while (n < kBatch) {
            ssize_t r = read(tap, tx.frame(n), kSlot - kIcmpHdr);
            if (r < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    break;
                die("read from %s: %s", tapname, strerror(errno));
            }
            if (r == 0)
                break;
            stats.tap_rx++;
            tx.len[n++] = (size_t)r;
        }
        if (n > 0)
            to_net(n);
    }

    // Sends frames 0..n-1 of the tx batch to the node.
    void to_net(unsigned n)
    {
        switch (o.transport) {
        case Transport::UDP:
            for (unsigned i = 0; i < n; i++)
                tx.set(i, tx.frame(i), tx.len[i]);
            if (gso)
                send_runs(n);
            else
                send_batch(n);
            break;
        case Transport::ICMP:
            for (unsigned i = 0; i < n; i++) {
                if (o.vary_id)
                    icmp_id++;
                uint8_t *pkt = tx.slot(i);
                pkt[0] = ICMP_ECHO;
                pkt[1] = 0;
                pkt[2] = pkt[3] = 0;
                uint16_t id = htons(icmp_id), seq = htons(icmp_seq);
                memcpy(pkt + 4, &id, 2);
                memcpy(pkt + 6, &seq, 2);
                memcpy(pkt + 8, kIcmpMagic, 4);
                uint16_t ck = inet_cksum(pkt, kIcmpHdr + tx.len[i]);
                memcpy(pkt + 2, &ck, 2);
                tx.set(i, pkt, kIcmpHdr + tx.len[i]);
            }
            send_batch(n);
            break;
        case Transport::TCP:
            for (unsigned i = 0; i < n; i++)
                queue_unit(tx.frame(i), tx.len[i]);
            flush();
            break;
        }
    }

    // sendmmsg until every message went or failed: a failed one is counted and skipped, the
    // others still go.
    void send_batch(unsigned n, unsigned from = 0)
    {
        unsigned i = from;
        while (i < n) {
            int r = sendmmsg(net, tx.msg + i, n - i, 0);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                send_failed("send");
                i++;
                continue;
            }
            stats.net_tx += (unsigned)r;
            i += (unsigned)r;
        }
    }

    // UDP_SEGMENT: runs of frames of one length (the last may be shorter) leave as one message
    // each; the kernel sends them as separate datagrams.
    void send_runs(unsigned n)
    {
        unsigned ng = 0, first[kBatch], count[kBatch];
        for (unsigned i = 0; i < n;) {
            size_t size = tx.len[i], total = size;
            unsigned k = i + 1;
            while (k < n && k - i < kGsoSegs && tx.len[k - 1] == size && tx.len[k] <= size &&
                   total + tx.len[k] <= kGsoBytes)
                total += tx.len[k++];
            msghdr &h = gmsg[ng].msg_hdr;
            h = msghdr{};
            h.msg_iov = &tx.iov[i];
            h.msg_iovlen = k - i;
            if (k - i > 1) {
                h.msg_control = gctl[ng];
                h.msg_controllen = sizeof gctl[ng];
                cmsghdr *c = CMSG_FIRSTHDR(&h);
                c->cmsg_level = SOL_UDP;
                c->cmsg_type = UDP_SEGMENT;
                c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                uint16_t sz = (uint16_t)size;
                memcpy(CMSG_DATA(c), &sz, sizeof sz);
            }
            first[ng] = i;
            count[ng++] = k - i;
            i = k;
        }
        unsigned g = 0;
        while (g < ng) {
            int r = sendmmsg(net, gmsg + g, ng - g, 0);
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                // EINVAL: a datagram above the path's MTU; that run goes one by one (and is
                // fragmented), the offload stays on.
                if (count[g] > 1 && errno == EINVAL) {
                    send_batch(first[g] + count[g], first[g]);
                    g++;
                    continue;
                }
                if (count[g] > 1 && (errno == EIO || errno == EOPNOTSUPP || errno == ENOPROTOOPT)) {
                    fprintf(stderr,
                            "veltun: UDP_SEGMENT refused (%s): one datagram per call "
                            "from now on\n",
                            strerror(errno));
                    gso = false;
                    send_batch(n, first[g]);
                    return;
                }
                send_failed("send");
                stats.dropped += count[g] - 1;
                g++;
                continue;
            }
            for (unsigned k = g; k < g + (unsigned)r; k++)
                stats.net_tx += count[k];
            g += (unsigned)r;
        }
    }

    void queue_unit(const uint8_t *frame, size_t len)
    {
        if (len > kTcpLenMax || out.size() - out_off + len + 4 > kTcpQueueMax) {
            stats.dropped++;
            return;
        }
        // Sent bytes go once they outweigh what is left, so the queue never grows past twice its
        // bound and moving the rest costs no more than what was sent.
        if (out_off == out.size()) {
            out.clear();
            out_off = 0;
        } else if (out_off >= out.size() - out_off) {
            out.erase(out.begin(), out.begin() + (long)out_off);
            out_off = 0;
        }
        uint8_t h[4] = {'V', 0, (uint8_t)(len & 0xff), (uint8_t)(len >> 8)};
        out.insert(out.end(), h, h + 4);
        out.insert(out.end(), frame, frame + len);
        stats.net_tx++;
    }

    void flush()
    {
        while (out_off < out.size()) {
            ssize_t n = send(net, out.data() + out_off, out.size() - out_off, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    return;
                die("TCP connection to %s:%u failed: %s", o.server, o.port, strerror(errno));
            }
            out_off += (size_t)n;
        }
        out.clear();
        out_off = 0;
    }

    // UDP with receive offload: each buffer holds a datagram or a run of them that the node sent
    // as one, all of the size its UDP_GRO message gives but the last.
    void from_net_gro()
    {
        for (unsigned i = 0; i < kGroBatch; i++) {
            gro_iov[i] = {gro_mem.data() + (size_t)i * kGroBuf, kGroBuf};
            gro_msg[i] = {};
            gro_msg[i].msg_hdr.msg_iov = &gro_iov[i];
            gro_msg[i].msg_hdr.msg_iovlen = 1;
            gro_msg[i].msg_hdr.msg_control = gro_ctl[i];
            gro_msg[i].msg_hdr.msg_controllen = sizeof gro_ctl[i];
        }
        int n = recvmmsg(net, gro_msg, kGroBatch, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                send_failed("recv");
            return;
        }
        for (int i = 0; i < n; i++) {
            msghdr &h = gro_msg[i].msg_hdr;
            size_t len = gro_msg[i].msg_len;
            if (h.msg_flags & MSG_TRUNC) {
                stats.bad++;
                fprintf(stderr, "veltun: datagram of more than %zu bytes dropped\n", kGroBuf);
                continue;
            }
            size_t size = len;
            for (cmsghdr *c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
                if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                    int v;
                    memcpy(&v, CMSG_DATA(c), sizeof v);
                    if (v > 0)
                        size = (size_t)v;
                }
            }
            const uint8_t *p = gro_mem.data() + (size_t)i * kGroBuf;
            for (size_t off = 0; off < len; off += size) {
                stats.net_rx++;
                tap_write(tap, p + off, len - off < size ? len - off : size);
            }
        }
    }

    void from_net()
    {
        from_net_frames();
        tap_flush();
    }

    void from_net_frames()
    {
        if (o.transport == Transport::TCP) {
            from_stream();
            return;
        }
        if (gro) {
            from_net_gro();
            return;
        }
        for (unsigned i = 0; i < kBatch; i++)
            rx.set(i, rx.slot(i), kSlot);
        int n = recvmmsg(net, rx.msg, kBatch, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            // Port-unreachable answers show up here while the node is not up.
            if (errno != EAGAIN && errno != EINTR)
                send_failed("recv");
            return;
        }
        for (int i = 0; i < n; i++) {
            size_t len = rx.msg[i].msg_len;
            if (rx.msg[i].msg_hdr.msg_flags & MSG_TRUNC) {
                stats.bad++;
                fprintf(stderr, "veltun: datagram of more than %zu bytes dropped\n", kSlot);
                continue;
            }
            if (o.transport == Transport::UDP) {
                stats.net_rx++;
                tap_write(tap, rx.slot(i), len);
            } else {
                echo_reply(rx.slot(i), len);
            }
        }
    }

    void echo_reply(const uint8_t *pkt, size_t n)
    {
        if (n < 20)
            return;
        size_t hl = (size_t)(pkt[0] & 0x0f) * 4;
        if (n < hl + kIcmpHdr)
            return;
        const uint8_t *m = pkt + hl;
        size_t mlen = n - hl;
        uint16_t seq;
        memcpy(&seq, m + 6, 2);
        // Only replies of our session carry frames; anything else is someone's ping.
        if (m[0] != ICMP_ECHOREPLY || memcmp(m + 8, kIcmpMagic, 4) != 0 || ntohs(seq) != icmp_seq)
            return;
        if (inet_cksum(m, mlen) != 0) {
            stats.bad++;
            fprintf(stderr, "veltun: echo reply with a bad checksum dropped\n");
            return;
        }
        stats.net_rx++;
        if (mlen > kIcmpHdr)
            tap_write(tap, m + kIcmpHdr, mlen - kIcmpHdr);
    }

    // One read of what the stream has delivered, then every complete unit in the buffer; a
    // unit cut by the read waits at the front of the buffer for the rest.
    void from_stream()
    {
        ssize_t n = recv(net, in.data() + in_len, in.size() - in_len, 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return;
            die("TCP connection to %s:%u failed: %s", o.server, o.port, strerror(errno));
        }
        if (n == 0)
            die("node %s:%u closed the TCP connection", o.server, o.port);
        in_len += (size_t)n;
        size_t off = 0;
        while (in_len - off >= 4) {
            const uint8_t *h = in.data() + off;
            unsigned len = h[2] | (unsigned)h[3] << 8;
            if (h[0] != 'V' || h[1] != 0 || len == 0 || len > kTcpLenMax)
                die("bad frame header from the node (bytes %02x %02x %02x %02x)", h[0], h[1], h[2],
                    h[3]);
            if (in_len - off < 4 + len)
                break;
            stats.net_rx++;
            tap_write(tap, h + 4, len);
            off += 4 + len;
        }
        // What is left is less than one unit, far less than the buffer.
        memmove(in.data(), in.data() + off, in_len - off);
        in_len -= off;
    }
};

void on_usr1(int)
{
    want_stats = 1;
}

} // namespace

int main(int argc, char **argv)
{
    Tunnel t;
    Options &o = t.o;
    int ch;
    while ((ch = getopt(argc, argv, "s:t:p:i:a:m:M:b:I:q:Vk:O:h")) != -1) {
        switch (ch) {
        case 's':
            o.server = optarg;
            break;
        case 't':
            if (strcmp(optarg, "udp") == 0)
                o.transport = Transport::UDP;
            else if (strcmp(optarg, "tcp") == 0)
                o.transport = Transport::TCP;
            else if (strcmp(optarg, "icmp") == 0)
                o.transport = Transport::ICMP;
            else {
                fprintf(stderr, "veltun: unknown transport '%s' (udp, tcp or icmp)\n", optarg);
                usage();
            }
            break;
        case 'p':
            o.port = (uint16_t)number(optarg, "port", 1, 65535);
            break;
        case 'i':
            o.tapname = optarg;
            break;
        case 'a':
            o.addr = optarg;
            break;
        case 'm':
            o.mac = optarg;
            break;
        case 'M':
            o.mtu = (int)number(optarg, "MTU", 68, kMtuMax);
            break;
        case 'b':
            o.bind = optarg;
            break;
        case 'I':
            o.icmp_id = (int)number(optarg, "ICMP identifier", 0, 65535);
            break;
        case 'q':
            o.icmp_seq = (int)number(optarg, "ICMP sequence number", 0, 65535);
            break;
        case 'V':
            o.vary_id = true;
            break;
        case 'k':
            o.keepalive = (int)number(optarg, "announce interval", 0, 86400);
            break;
        case 'O':
            if (strcmp(optarg, "on") == 0)
                o.offload = true;
            else if (strcmp(optarg, "off") == 0)
                o.offload = false;
            else if (strcmp(optarg, "nocoalesce") == 0)
                o.coalesce = false;
            else {
                fprintf(stderr, "veltun: -O takes on, off or nocoalesce, not '%s'\n", optarg);
                usage();
            }
            break;
        default:
            usage();
        }
    }
    if (optind < argc) {
        fprintf(stderr, "veltun: unexpected argument '%s'\n", argv[optind]);
        usage();
    }
    if (!o.server) {
        fprintf(stderr, "veltun: the node address (-s) is required\n");
        usage();
    }
    uint16_t r;
    random_bytes(&r, sizeof r);
    // Not the pid: ping in the same namespace sees our echo replies and takes those carrying its
    // own identifier (its pid) for answers.
    t.icmp_id = (uint16_t)(o.icmp_id >= 0 ? o.icmp_id : r ^ 0x5a5a);
    t.icmp_seq = (uint16_t)(o.icmp_seq >= 0 ? o.icmp_seq : r);

    std::string name;
    t.tap = tap_open(o, &name, &t.ip);
    t.has_ip = o.addr != nullptr;
    t.net = net_open(o);
    std::string udp_note = t.udp_offloads();
    if (tap_vnet)
        fprintf(stderr,
                "veltun: offloads: %s with the virtio-net header, TCP segments cut here, "
                "frames from the node %s%s\n",
                name.c_str(), tap_coalesce ? "gathered into segments" : "written one by one",
                udp_note.c_str());
    else
        fprintf(stderr, "veltun: offloads: one frame at a time (%s)%s\n", offload_note.c_str(),
                udp_note.c_str());
    static const char *const tnames[] = {"udp", "tcp", "icmp"};
    fprintf(stderr, "veltun: %s up (%s) via %s to %s:%u\n", name.c_str(), o.addr ? o.addr : "-",
            tnames[(int)o.transport], o.server, o.transport == Transport::ICMP ? 0 : o.port);
    fflush(stderr);

    struct sigaction sa {
    };
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    t.announce();
    timespec last;
    clock_gettime(CLOCK_MONOTONIC, &last);
    for (;;) {
        if (o.keepalive > 0) {
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec - last.tv_sec >= o.keepalive) {
                last = now;
                t.announce();
            }
        }
        if (want_stats) {
            want_stats = 0;
            fprintf(stderr,
                    "veltun: stats tap_rx %llu tap_tx %llu net_tx %llu net_rx %llu dropped %llu "
                    "bad %llu own %llu\n",
                    stats.tap_rx, stats.tap_tx, stats.net_tx, stats.net_rx, stats.dropped,
                    stats.bad, stats.own);
        }
        // While TCP output waits for the socket, the TAP device is not read: its queue holds
        // the frames until the node takes what we have.
        bool backlog = t.backlog();
        pollfd p[2] = {{t.tap, (short)(backlog ? 0 : POLLIN), 0},
                       {t.net, (short)(POLLIN | (backlog ? POLLOUT : 0)), 0}};
        if (poll(p, 2, 1000) < 0) {
            if (errno == EINTR)
                continue;
            die("poll: %s", strerror(errno));
        }
        if (p[1].revents & POLLOUT)
            t.flush();
        if (p[1].revents & (POLLIN | POLLERR | POLLHUP))
            t.from_net();
        if (p[0].revents & POLLIN)
            t.from_tap(name.c_str());
    }
}
