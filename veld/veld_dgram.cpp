#include "veld_dgram.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include "vas.h"
#include "veld_port.h"
#include "veld_sess.h"
#include "veld_stat.h"
#include "veld_state.h"
#include "vlog.h"

namespace
{
constexpr size_t IPV4_MIN_HDR = 20;
constexpr uint8_t ICMP_ECHOREPLY_TYPE = 0;
constexpr uint8_t ICMP_ECHO_TYPE = 8;
// A UDP send slower than this is worth a line: it stalls the whole loop.
constexpr double UDP_SLOW_SEND = 1.0;
// One UDP_SEGMENT message carries at most this many datagrams (the kernel's
// oldest limit) and this many bytes (an IPv4 packet's length field).
constexpr unsigned DGRAM_GSO_SEGS = 64;
constexpr size_t DGRAM_GSO_BYTES = 65000;
// Receive offload: buffers of a whole coalesced run each.
constexpr unsigned DGRAM_GRO_BATCH = 32;
constexpr size_t DGRAM_GRO_BUF = 65536;

ssize_t dgram_sendto_sys(int fd, const void *buf, size_t len, const struct sockaddr *addr,
                         socklen_t addrlen)
{
    return ::sendto(fd, buf, len, 0, addr, addrlen);
}

int dgram_recvmmsg_sys(int fd, struct mmsghdr *msgs, unsigned n, int flags)
{
    return ::recvmmsg(fd, msgs, n, flags, nullptr);
}

int dgram_sendmmsg_sys(int fd, struct mmsghdr *msgs, unsigned n, int flags)
{
    return ::sendmmsg(fd, msgs, n, flags);
}

// What a queued datagram is: it decides the error line and the accounting.
enum class dgram_kind : uint8_t {
    udp,       // unicast frame to a UDP session
    udp_bcast, // broadcast copy to a UDP session
    icmp,      // echo reply carrying a frame to an ICMP session
    echo,      // answer to an ordinary ping
};

struct dgram_out {
    sess *sp; // null for echo answers
    dgram_kind kind;
    size_t off; // where the frame starts in buf
    size_t len; // bytes to send
    struct sockaddr_storage addr;
    socklen_t addrlen;
    uint8_t buf[DGRAM_BUF_SIZE];
};

struct dgram_queue {
    unsigned n = 0;
    dgram_out out[DGRAM_BATCH];
    struct mmsghdr msgs[DGRAM_BATCH];
    struct iovec iov[DGRAM_BATCH];
    // UDP_SEGMENT: one message per run of datagrams to one address.
    struct mmsghdr gmsgs[DGRAM_BATCH];
    unsigned gfirst[DGRAM_BATCH];
    unsigned gcount[DGRAM_BATCH];
    alignas(struct cmsghdr) uint8_t gctl[DGRAM_BATCH][CMSG_SPACE(sizeof(uint16_t))];
};

struct dgram_gro {
    uint8_t buf[DGRAM_GRO_BATCH][DGRAM_GRO_BUF];
    struct sockaddr_in from[DGRAM_GRO_BATCH];
    struct mmsghdr msgs[DGRAM_GRO_BATCH];
    struct iovec iov[DGRAM_GRO_BATCH];
    alignas(struct cmsghdr) uint8_t ctl[DGRAM_GRO_BATCH][CMSG_SPACE(sizeof(int))];
};

// Receive and send batches of the event loop.
struct dgram_state {
    bool batching = false;
    dgram_queue udp;
    dgram_queue icmp;
    bool rx_ready = false; // receive headers set up
    uint8_t rxbuf[DGRAM_BATCH][DGRAM_BUF_SIZE];
    struct sockaddr_in rxfrom[DGRAM_BATCH]; // 16 bytes: IPv4 only
    struct mmsghdr rxmsgs[DGRAM_BATCH];
    struct iovec rxiov[DGRAM_BATCH];
    bool gso = false; // UDP_SEGMENT on the UDP socket
    bool gro = false; // UDP_GRO on the UDP socket
    std::unique_ptr<dgram_gro> grost;
};
dgram_state dgramst;

// Send-side accounting of one frame to a client.
void dgram_account_tx(sess *sp, const uint8_t *frame, size_t len)
{
    sess_stat_backend(sp, STAT_RX, STAT_DIR_SRC, sp->type, frame, len);
    if (sp->addr.ss_family == AF_INET) {
        const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&sp->addr);
        sess_stat_transport(sp, STAT_TX, sp->type, sin->sin_addr.s_addr, len);
    }
}

const struct sockaddr *sess_sa(const sess *sp)
{
    return reinterpret_cast<const struct sockaddr *>(&sp->addr);
}

// The error line of a failed send, as the single sends of each kind word it.
void dgram_send_failed(dgram_kind kind, int err)
{
    switch (kind) {
    case dgram_kind::udp:
        VLOG("[ERROR] sendto(2) error: %d %s", err, std::strerror(err));
        break;
    case dgram_kind::icmp:
        VLOG("[ERROR] sendto(2) for ICMP error: %d %s", err, std::strerror(err));
        break;
    case dgram_kind::udp_bcast:
    case dgram_kind::echo:
        VLOG("[WARN] sendto(2): %d %s", err, std::strerror(err));
        break;
    }
}

// The outcome of one queued send: its error line, or its accounting.
void dgram_sent(dgram_out &o, ssize_t ret, int err)
{
    if (ret < 0) {
        dgram_send_failed(o.kind, err);
        return;
    }
    VAS_ASSERT_TEXT(ret == static_cast<ssize_t>(o.len), "ret == len");
    if (o.kind != dgram_kind::echo)
        dgram_account_tx(o.sp, o.buf + o.off, o.len - o.off);
}

// Sends datagrams [from, to) of a queue, as many per sendmmsg(2) as it takes.
void dgram_send_range(dgram_queue &q, int fd, unsigned from, unsigned to)
{
    unsigned i = from;
    while (i < to) {
        double t0 = veld_clock_mono();
        int r = dgram_sendmmsg(fd, &q.msgs[i], to - i, 0);
        int err = errno;
        double dt = veld_clock_mono() - t0;
        if (r <= 0) {
            // sendmmsg(2) reports an error only for the first datagram it
            // offers; that one is lost, the rest are offered again.
            dgram_sent(q.out[i], -1, err);
            i++;
            continue;
        }
        bool unicast = false;
        for (unsigned k = i; k < i + static_cast<unsigned>(r); k++) {
            unicast |= q.out[k].kind == dgram_kind::udp;
            dgram_sent(q.out[k], static_cast<ssize_t>(q.msgs[k].msg_len), 0);
        }
        if (unicast && dt > UDP_SLOW_SEND)
            VLOG("[CRIT] Took too long time for sendto(2): %f", dt);
        i += static_cast<unsigned>(r);
    }
}

// Groups the queue into runs for UDP_SEGMENT: datagrams to one address, all
// of one length but the last, which may be shorter. The number of runs.
unsigned dgram_gso_runs(dgram_queue &q)
{
    unsigned ng = 0;
    for (unsigned i = 0; i < q.n;) {
        const dgram_out &first = q.out[i];
        size_t seg = first.len, total = seg;
        unsigned k = i + 1;
        while (k < q.n && k - i < DGRAM_GSO_SEGS && q.out[k - 1].len == seg &&
               q.out[k].len <= seg && total + q.out[k].len <= DGRAM_GSO_BYTES &&
               q.out[k].addrlen == first.addrlen &&
               std::memcmp(&q.out[k].addr, &first.addr, first.addrlen) == 0) {
            total += q.out[k].len;
            k++;
        }
        struct msghdr &h = q.gmsgs[ng].msg_hdr;
        std::memset(&h, 0, sizeof h);
        h.msg_name = &q.out[i].addr;
        h.msg_namelen = first.addrlen;
        h.msg_iov = &q.iov[i];
        h.msg_iovlen = k - i;
        if (k - i > 1) {
            h.msg_control = q.gctl[ng];
            h.msg_controllen = sizeof q.gctl[ng];
            struct cmsghdr *c = CMSG_FIRSTHDR(&h);
            c->cmsg_level = SOL_UDP;
            c->cmsg_type = UDP_SEGMENT;
            c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            uint16_t gso = static_cast<uint16_t>(seg);
            std::memcpy(CMSG_DATA(c), &gso, sizeof gso);
        }
        q.gfirst[ng] = i;
        q.gcount[ng] = k - i;
        ng++;
        i = k;
    }
    return ng;
}

// The UDP queue with segmentation offload: one message per run. A run the
// kernel refuses is sent again datagram by datagram (whose failures are
// logged as ever); a refusal that says the offload cannot work on this
// node's paths switches it off for good.
void dgram_flush_gso(dgram_queue &q, int fd)
{
    unsigned ng = dgram_gso_runs(q);
    unsigned g = 0;
    while (g < ng) {
        double t0 = veld_clock_mono();
        int r = dgram_sendmmsg(fd, &q.gmsgs[g], ng - g, 0);
        int err = errno;
        double dt = veld_clock_mono() - t0;
        if (r <= 0) {
            // EINVAL comes from one client's path (a datagram above its MTU, which the plain
            // send fragments), so only that run goes datagram by datagram.
            if (q.gcount[g] > 1 && (err == EIO || err == EOPNOTSUPP || err == ENOPROTOOPT)) {
                VLOG("[WARN] UDP_SEGMENT send failed: %d %s; datagrams go one by one from now on",
                     err, std::strerror(err));
                dgramst.gso = false;
            }
            dgram_send_range(q, fd, q.gfirst[g], q.gfirst[g] + q.gcount[g]);
            g++;
            continue;
        }
        bool unicast = false;
        for (unsigned k = g; k < g + static_cast<unsigned>(r); k++) {
            size_t total = 0;
            for (unsigned j = q.gfirst[k]; j < q.gfirst[k] + q.gcount[k]; j++)
                total += q.out[j].len;
            VAS_ASSERT_TEXT(q.gmsgs[k].msg_len == total, "ret == len");
            for (unsigned j = q.gfirst[k]; j < q.gfirst[k] + q.gcount[k]; j++) {
                unicast |= q.out[j].kind == dgram_kind::udp;
                dgram_sent(q.out[j], static_cast<ssize_t>(q.out[j].len), 0);
            }
        }
        if (unicast && dt > UDP_SLOW_SEND)
            VLOG("[CRIT] Took too long time for sendto(2): %f", dt);
        g += static_cast<unsigned>(r);
    }
}

void dgram_flush_queue(dgram_queue &q, int fd)
{
    if (&q == &dgramst.udp && dgramst.gso)
        dgram_flush_gso(q, fd);
    else
        dgram_send_range(q, fd, 0, q.n);
    q.n = 0;
}

// The next free entry of a queue; a full queue is sent first.
dgram_out *dgram_slot(dgram_queue &q, int fd)
{
    if (q.n == DGRAM_BATCH)
        dgram_flush_queue(q, fd);
    return &q.out[q.n];
}

// Queues the datagram built in o->buf.
void dgram_commit(dgram_queue &q, dgram_out *o, sess *sp, dgram_kind kind, size_t off, size_t len,
                  const struct sockaddr *addr, socklen_t addrlen)
{
    VAS_ASSERT(o == &q.out[q.n] && len <= sizeof o->buf);
    VAS_ASSERT(addrlen <= sizeof o->addr);
    o->sp = sp;
    o->kind = kind;
    o->off = off;
    o->len = len;
    std::memcpy(&o->addr, addr, addrlen);
    o->addrlen = addrlen;
    q.iov[q.n].iov_base = o->buf;
    q.iov[q.n].iov_len = len;
    struct msghdr &h = q.msgs[q.n].msg_hdr;
    std::memset(&h, 0, sizeof h);
    h.msg_name = &o->addr;
    h.msg_namelen = addrlen;
    h.msg_iov = &q.iov[q.n];
    h.msg_iovlen = 1;
    q.n++;
}

// Queues one frame to a UDP session.
void udp_queue(sess *sp, const uint8_t *frame, size_t len, dgram_kind kind)
{
    dgram_out *o = dgram_slot(dgramst.udp, veld.udp_fd);
    // Longer datagrams never arrive (the receive buffers are this long), and
    // the kernel would refuse them anyway.
    if (len > sizeof o->buf) {
        dgram_send_failed(kind, EMSGSIZE);
        return;
    }
    std::memcpy(o->buf, frame, len);
    dgram_commit(dgramst.udp, o, sp, kind, 0, len, sess_sa(sp), sp->addrlen);
}

// The UDP socket with receive offload: each buffer holds one datagram or a
// run of them coalesced, all of the size the UDP_GRO message gives but the
// last; each is handed on alone, cut to the receive buffer's length.
int udp_rx_gro(int fd)
{
    dgram_gro &g = *dgramst.grost;
    for (unsigned i = 0; i < DGRAM_GRO_BATCH; i++) {
        g.iov[i].iov_base = g.buf[i];
        g.iov[i].iov_len = DGRAM_GRO_BUF;
        std::memset(&g.msgs[i], 0, sizeof g.msgs[i]);
        struct msghdr &h = g.msgs[i].msg_hdr;
        h.msg_name = &g.from[i];
        h.msg_namelen = sizeof g.from[i];
        h.msg_iov = &g.iov[i];
        h.msg_iovlen = 1;
        h.msg_control = g.ctl[i];
        h.msg_controllen = sizeof g.ctl[i];
    }
    int r = dgram_recvmmsg(fd, g.msgs, DGRAM_GRO_BATCH, MSG_DONTWAIT);
    if (r < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        VLOG("[ERROR] recvfrom(2) error: %d %s", errno, std::strerror(errno));
        return -1;
    }
    for (int i = 0; i < r; i++) {
        struct msghdr &h = g.msgs[i].msg_hdr;
        size_t len = g.msgs[i].msg_len;
        if (len > DGRAM_GRO_BUF)
            len = DGRAM_GRO_BUF;
        size_t seg = len;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
            if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
                int v;
                std::memcpy(&v, CMSG_DATA(c), sizeof v);
                if (v > 0)
                    seg = static_cast<size_t>(v);
            }
        }
        const auto *from = reinterpret_cast<const struct sockaddr *>(&g.from[i]);
        for (size_t off = 0; off < len; off += seg) {
            size_t n = len - off < seg ? len - off : seg;
            udp_rx(g.buf[i] + off, n < DGRAM_BUF_SIZE ? n : DGRAM_BUF_SIZE, from, h.msg_namelen);
        }
    }
    return r;
}

int dgram_rx_batch(int fd, bool icmp)
{
    if (!icmp && dgramst.gro)
        return udp_rx_gro(fd);
    dgram_state &d = dgramst;
    if (!d.rx_ready) {
        for (unsigned i = 0; i < DGRAM_BATCH; i++) {
            d.rxiov[i].iov_base = d.rxbuf[i];
            d.rxiov[i].iov_len = DGRAM_BUF_SIZE;
            std::memset(&d.rxmsgs[i], 0, sizeof d.rxmsgs[i]);
            d.rxmsgs[i].msg_hdr.msg_name = &d.rxfrom[i];
            d.rxmsgs[i].msg_hdr.msg_iov = &d.rxiov[i];
            d.rxmsgs[i].msg_hdr.msg_iovlen = 1;
        }
        d.rx_ready = true;
    }
    for (unsigned i = 0; i < DGRAM_BATCH; i++)
        d.rxmsgs[i].msg_hdr.msg_namelen = sizeof d.rxfrom[i];
    int r = dgram_recvmmsg(fd, d.rxmsgs, DGRAM_BATCH, MSG_DONTWAIT);
    if (r < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        VLOG("[ERROR] recvfrom(2) error: %d %s", errno, std::strerror(errno));
        return -1;
    }
    for (int i = 0; i < r; i++) {
        const struct msghdr &h = d.rxmsgs[i].msg_hdr;
        size_t len = d.rxmsgs[i].msg_len;
        if (len > DGRAM_BUF_SIZE) // cut to the buffer, as recvfrom(2) does
            len = DGRAM_BUF_SIZE;
        const auto *from = reinterpret_cast<const struct sockaddr *>(&d.rxfrom[i]);
        if (icmp)
            icmp_rx(d.rxbuf[i], len, from, h.msg_namelen);
        else
            udp_rx(d.rxbuf[i], len, from, h.msg_namelen);
    }
    return r;
}
} // namespace

dgram_sendto_f dgram_sendto = dgram_sendto_sys;
dgram_mmsg_f dgram_recvmmsg = dgram_recvmmsg_sys;
dgram_mmsg_f dgram_sendmmsg = dgram_sendmmsg_sys;

void dgram_batching(bool on)
{
    if (!on)
        dgram_flush();
    dgramst.batching = on;
}

void dgram_flush()
{
    dgram_flush_queue(dgramst.udp, veld.udp_fd);
    dgram_flush_queue(dgramst.icmp, veld.icmp_fd);
}

const char *dgram_offload_setup(bool wanted)
{
    dgram_flush();
    dgramst.gso = dgramst.gro = false;
    if (!wanted)
        return "UDP_SEGMENT and UDP_GRO off";
    // Setting a segment size of 0 on the socket changes nothing but tells
    // whether the kernel knows the option; sizes go with each message.
    int zero = 0, one = 1;
    dgramst.gso = setsockopt(veld.udp_fd, SOL_UDP, UDP_SEGMENT, &zero, sizeof zero) == 0;
    dgramst.gro = setsockopt(veld.udp_fd, SOL_UDP, UDP_GRO, &one, sizeof one) == 0;
    if (dgramst.gro && dgramst.grost == nullptr)
        dgramst.grost = std::make_unique<dgram_gro>();
    if (dgramst.gso && dgramst.gro)
        return "UDP_SEGMENT and UDP_GRO on";
    if (dgramst.gso)
        return "UDP_SEGMENT on, UDP_GRO not offered";
    if (dgramst.gro)
        return "UDP_SEGMENT not offered, UDP_GRO on";
    return "UDP_SEGMENT and UDP_GRO not offered";
}

unsigned dgram_queued()
{
    return dgramst.udp.n + dgramst.icmp.n;
}

int icmp_rx_batch()
{
    return dgram_rx_batch(veld.icmp_fd, true);
}

int udp_rx_batch()
{
    return dgram_rx_batch(veld.udp_fd, false);
}

uint16_t icmp_cksum(const void *data, size_t len)
{
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t sum = 0;
    // Words are summed in memory order; the result is then stored as is.
    while (len > 1) {
        uint16_t w;
        std::memcpy(&w, p, 2);
        sum += w;
        p += 2;
        len -= 2;
    }
    if (len == 1) {
        uint16_t w = 0;
        std::memcpy(&w, p, 1);
        sum += w;
    }
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void udp_rx(const uint8_t *buf, size_t len, const struct sockaddr *addr, socklen_t addrlen)
{
    if (len <= SESS_MIN_FRAME)
        return;
    if (len > 1500)
        VLOG("[ERROR] Ooops, too big frame (%zd) is received", static_cast<ssize_t>(len));
    sess_rx(addr, addrlen, buf, len, SESS_UDP, nullptr, nullptr);
}

void udp_tx(sess *sp, const uint8_t *frame, size_t len)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    if (dgramst.batching) {
        udp_queue(sp, frame, len, dgram_kind::udp);
        return;
    }
    double t0 = veld_clock_mono();
    ssize_t ret = dgram_sendto(veld.udp_fd, frame, len, sess_sa(sp), sp->addrlen);
    if (ret < 0) {
        VLOG("[ERROR] sendto(2) error: %d %s", errno, std::strerror(errno));
        return;
    }
    VAS_ASSERT_TEXT(ret == static_cast<ssize_t>(len), "ret == len");
    double dt = veld_clock_mono() - t0;
    if (dt > UDP_SLOW_SEND)
        VLOG("[CRIT] Took too long time for sendto(2): %f", dt);
    dgram_account_tx(sp, frame, len);
}

void udp_tx_bcast(sess *sp, const uint8_t *frame, size_t len)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    if (dgramst.batching) {
        udp_queue(sp, frame, len, dgram_kind::udp_bcast);
        return;
    }
    ssize_t ret = dgram_sendto(veld.udp_fd, frame, len, sess_sa(sp), sp->addrlen);
    if (ret < 0) {
        VLOG("[WARN] sendto(2): %d %s", errno, std::strerror(errno));
        return;
    }
    VAS_ASSERT_TEXT(ret == static_cast<ssize_t>(len), "ret == len");
    dgram_account_tx(sp, frame, len);
}

void icmp_tx(sess *sp, const uint8_t *frame, size_t len)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    static uint8_t single[DGRAM_BUF_SIZE];
    size_t mlen = ICMP_TUNNEL_HDR + len;
    if (mlen >= DGRAM_BUF_SIZE)
        return;
    dgram_out *o = dgramst.batching ? dgram_slot(dgramst.icmp, veld.icmp_fd) : nullptr;
    uint8_t *msg = o != nullptr ? o->buf : single;
    msg[0] = ICMP_ECHOREPLY_TYPE;
    msg[1] = 0;
    msg[2] = msg[3] = 0;
    std::memcpy(msg + 4, &sp->icmp_id, 2);
    std::memcpy(msg + 6, &sp->icmp_seq, 2);
    std::memcpy(msg + 8, ICMP_TUNNEL_MAGIC, 4);
    std::memcpy(msg + ICMP_TUNNEL_HDR, frame, len);
    uint16_t ck = icmp_cksum(msg, mlen);
    std::memcpy(msg + 2, &ck, 2);
    if (o != nullptr) {
        dgram_commit(dgramst.icmp, o, sp, dgram_kind::icmp, ICMP_TUNNEL_HDR, mlen, sess_sa(sp),
                     sp->addrlen);
        return;
    }
    ssize_t ret = dgram_sendto(veld.icmp_fd, msg, mlen, sess_sa(sp), sp->addrlen);
    if (ret < 0) {
        VLOG("[ERROR] sendto(2) for ICMP error: %d %s", errno, std::strerror(errno));
        return;
    }
    VAS_ASSERT_TEXT(ret == static_cast<ssize_t>(mlen), "ret == len");
    dgram_account_tx(sp, frame, len);
}

void icmp_echo_answer(uint8_t *msg, size_t len, const struct sockaddr *addr, socklen_t addrlen)
{
    VAS_ASSERT(len >= 4);
    msg[0] = ICMP_ECHOREPLY_TYPE;
    msg[2] = msg[3] = 0;
    uint16_t ck = icmp_cksum(msg, len);
    std::memcpy(msg + 2, &ck, 2);
    if (dgramst.batching && len <= DGRAM_BUF_SIZE) {
        dgram_out *o = dgram_slot(dgramst.icmp, veld.icmp_fd);
        std::memcpy(o->buf, msg, len);
        dgram_commit(dgramst.icmp, o, nullptr, dgram_kind::echo, 0, len, addr, addrlen);
        return;
    }
    if (dgram_sendto(veld.icmp_fd, msg, len, addr, addrlen) < 0)
        VLOG("[WARN] sendto(2): %d %s", errno, std::strerror(errno));
}

void icmp_rx(uint8_t *pkt, size_t len, const struct sockaddr *addr, socklen_t addrlen)
{
    // The raw socket always hands us the IPv4 header; anything shorter is not a packet.
    if (len < IPV4_MIN_HDR)
        return;
    if (pkt[9] != IPPROTO_ICMP) {
        VLOG("[WARN] Drop the packet; not ICMP");
        return;
    }
    size_t hlen = static_cast<size_t>(pkt[0] & 0x0f) * 4;
    ssize_t mlen = static_cast<ssize_t>(len) - static_cast<ssize_t>(hlen);
    if (hlen < IPV4_MIN_HDR || mlen <= 0) {
        VLOG("[WARN] Drop the packet; too short ICMP echo");
        return;
    }
    uint8_t *msg = pkt + hlen;
    if (msg[0] != ICMP_ECHO_TYPE) {
        VLOG("[WARN] Drop the packet; not ICMP echo");
        return;
    }
    if (mlen >= static_cast<ssize_t>(ICMP_TUNNEL_HDR) &&
        std::memcmp(msg + 8, ICMP_TUNNEL_MAGIC, 4) == 0) {
        const uint8_t *frame = msg + ICMP_TUNNEL_HDR;
        ssize_t flen = mlen - static_cast<ssize_t>(ICMP_TUNNEL_HDR);
        if (flen <= static_cast<ssize_t>(SESS_MIN_FRAME)) {
            char host[64] = "", port[16] = "";
            if (getnameinfo(addr, addrlen, host, sizeof host, port, sizeof port,
                            NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
                std::strcpy(host, "?");
                std::strcpy(port, "?");
            }
            VLOG("[ERROR] too small packet for ICMP (from %s:%s origin_len %zd len %zd hlen %zd)",
                 host, port, static_cast<ssize_t>(len), flen, static_cast<ssize_t>(hlen));
            return;
        }
        if (flen > 1500)
            VLOG("[ERROR] Ooops, too big frame (%zd) is received", flen);
        icmp_origin io;
        std::memcpy(&io.id, msg + 4, 2);
        std::memcpy(&io.seq, msg + 6, 2);
        sess_rx(addr, addrlen, frame, static_cast<size_t>(flen), SESS_ICMP, &io, nullptr);
        return;
    }
    // An answer needs room for its checksum.
    if (mlen < 4) {
        VLOG("[WARN] Drop the packet; too short ICMP echo");
        return;
    }
    icmp_echo_answer(msg, static_cast<size_t>(mlen), addr, addrlen);
}

namespace
{
void udp_send(sess *sp, const uint8_t *frame, size_t len, bool bcast)
{
    if (bcast)
        udp_tx_bcast(sp, frame, len);
    else
        udp_tx(sp, frame, len);
}

void icmp_send(sess *sp, const uint8_t *frame, size_t len, bool)
{
    icmp_tx(sp, frame, len);
}
} // namespace

// Both kinds queue into the same batches, so both report them.
const veld_port veld_port_udp = {udp_send, nullptr, nullptr, nullptr, dgram_queued};
const veld_port veld_port_icmp = {icmp_send, nullptr, nullptr, nullptr, dgram_queued};
