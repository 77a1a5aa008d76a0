#include "veld_dgram.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

#include "vas.h"
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

ssize_t dgram_sendto_sys(int fd, const void *buf, size_t len, const struct sockaddr *addr,
                         socklen_t addrlen)
{
    return ::sendto(fd, buf, len, 0, addr, addrlen);
}

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
} // namespace

dgram_sendto_f dgram_sendto = dgram_sendto_sys;

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
    static uint8_t msg[DGRAM_BUF_SIZE];
    size_t mlen = ICMP_TUNNEL_HDR + len;
    if (mlen >= sizeof msg)
        return;
    msg[0] = ICMP_ECHOREPLY_TYPE;
    msg[1] = 0;
    msg[2] = msg[3] = 0;
    std::memcpy(msg + 4, &sp->icmp_id, 2);
    std::memcpy(msg + 6, &sp->icmp_seq, 2);
    std::memcpy(msg + 8, ICMP_TUNNEL_MAGIC, 4);
    std::memcpy(msg + ICMP_TUNNEL_HDR, frame, len);
    uint16_t ck = icmp_cksum(msg, mlen);
    std::memcpy(msg + 2, &ck, 2);
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
