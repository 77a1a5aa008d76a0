#include "vnet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>

namespace
{
constexpr size_t ETH_HLEN = 14;
constexpr size_t VLAN_HLEN = 4;
constexpr uint16_t ETH_P_IPV4 = 0x0800;
constexpr uint16_t ETH_P_VLAN = 0x8100;
constexpr uint8_t IPPROTO_TCP_NUM = 6;
constexpr size_t IPV4_MIN_HLEN = 20;
constexpr size_t TCP_MIN_HLEN = 20;
constexpr uint8_t TCP_FIN = 0x01;
constexpr uint8_t TCP_PSH = 0x08;
constexpr uint8_t TCP_CWR = 0x80;

uint16_t get16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void put16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

uint32_t get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void put32(uint8_t *p, uint32_t v)
{
    put16(p, static_cast<uint16_t>(v >> 16));
    put16(p + 2, static_cast<uint16_t>(v));
}

// Where the layer-3 header starts and which protocol it is (one VLAN tag
// looked through); false when the frame is too short for it.
bool eth_l3(const uint8_t *frame, size_t len, size_t *l3, uint16_t *proto)
{
    if (len < ETH_HLEN)
        return false;
    *l3 = ETH_HLEN;
    *proto = get16(frame + 12);
    if (*proto == ETH_P_VLAN) {
        if (len < ETH_HLEN + VLAN_HLEN)
            return false;
        *l3 += VLAN_HLEN;
        *proto = get16(frame + 16);
    }
    return true;
}

int einval()
{
    errno = EINVAL;
    return -1;
}
} // namespace

int VNET_ParseHdr(const uint8_t *p, size_t len, vnet_hdr *h)
{
    if (len < VNET_HDR_LEN)
        return einval();
    h->flags = p[0];
    h->gso_type = p[1];
    std::memcpy(&h->hdr_len, p + 2, 2);
    std::memcpy(&h->gso_size, p + 4, 2);
    std::memcpy(&h->csum_start, p + 6, 2);
    std::memcpy(&h->csum_offset, p + 8, 2);
    return 0;
}

void VNET_PlainHdr(uint8_t *p)
{
    std::memset(p, 0, VNET_HDR_LEN);
}

// The one's-complement sum does not depend on byte order (RFC 1071): the
// data is summed eight bytes at a time in the machine's order, folded, and
// swapped into network order once, which is several times faster than
// adding it a 16-bit word at a time (every frame cut from a segment needs it).
uint32_t VNET_CsumAdd(uint32_t sum, const uint8_t *p, size_t len)
{
    uint64_t native = 0;
    for (; len >= 8; p += 8, len -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        native += w;
        native += native < w; // end-around carry
    }
    for (; len >= 2; p += 2, len -= 2) {
        uint16_t w;
        std::memcpy(&w, p, 2);
        native += w;
        native += native < w;
    }
    if (len == 1) {
        // A lone last byte is the high half of a word in network order.
        uint8_t w[2] = {p[0], 0};
        uint16_t v;
        std::memcpy(&v, w, 2);
        native += v;
        native += native < v;
    }
    native = (native & 0xffffffffu) + (native >> 32);
    native = (native & 0xffffffffu) + (native >> 32);
    uint32_t folded = static_cast<uint32_t>(native);
    folded = (folded & 0xffff) + (folded >> 16);
    folded = (folded & 0xffff) + (folded >> 16);
    uint32_t net = ntohs(static_cast<uint16_t>(folded));
    uint64_t s = static_cast<uint64_t>(sum) + net;
    while (s >> 32)
        s = (s & 0xffffffffu) + (s >> 32);
    return static_cast<uint32_t>(s);
}

uint16_t VNET_CsumFold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

int VNET_CsumComplete(uint8_t *frame, size_t len, size_t start, size_t offset)
{
    if (start > len || offset + 2 > len - start)
        return einval();
    uint16_t ck = VNET_CsumFold(VNET_CsumAdd(0, frame + start, len - start));
    put16(frame + start + offset, ck == 0 ? 0xffff : ck);
    return 0;
}

int VNET_Segment(const vnet_hdr &h, uint8_t *frame, size_t len, uint8_t *scratch,
                 size_t scratch_size, vnet_emit_f emit, void *arg)
{
    uint8_t gso = h.gso_type & static_cast<uint8_t>(~VNET_GSO_ECN);
    if (gso == VNET_GSO_NONE) {
        if ((h.flags & VNET_F_NEEDS_CSUM) &&
            VNET_CsumComplete(frame, len, h.csum_start, h.csum_offset) != 0)
            return -1;
        emit(arg, frame, len);
        return 1;
    }
    if (gso != VNET_GSO_TCPV4 || h.gso_size == 0)
        return einval();

    size_t l3;
    uint16_t proto;
    if (!eth_l3(frame, len, &l3, &proto) || proto != ETH_P_IPV4 || len < l3 + IPV4_MIN_HLEN)
        return einval();
    const uint8_t *ip = frame + l3;
    size_t ihl = static_cast<size_t>(ip[0] & 0x0f) * 4;
    if ((ip[0] >> 4) != 4 || ihl < IPV4_MIN_HLEN || ip[9] != IPPROTO_TCP_NUM)
        return einval();
    size_t l4 = l3 + ihl;
    if (len < l4 + TCP_MIN_HLEN)
        return einval();
    size_t thl = static_cast<size_t>(frame[l4 + 12] >> 4) * 4;
    size_t hl = l4 + thl;
    if (thl < TCP_MIN_HLEN || hl > len)
        return einval();
    // The kernel always asks for the TCP checksum of a segment; where it
    // says it starts elsewhere, the headers are not what we parsed.
    if ((h.flags & VNET_F_NEEDS_CSUM) && h.csum_start != l4)
        return einval();
    size_t payload = len - hl;
    size_t mss = h.gso_size;
    size_t first = payload < mss ? payload : mss;
    if (scratch_size < hl + first)
        return einval();

    uint16_t id0 = get16(ip + 4);
    uint32_t seq0 = get32(frame + l4 + 4);
    uint8_t flags0 = frame[l4 + 13];
    int n = 0;
    size_t off = 0;
    do {
        size_t chunk = payload - off < mss ? payload - off : mss;
        bool last = off + chunk >= payload;
        std::memcpy(scratch, frame, hl);
        std::memcpy(scratch + hl, frame + hl + off, chunk);
        uint8_t *sip = scratch + l3;
        uint8_t *tcp = scratch + l4;
        put16(sip + 2, static_cast<uint16_t>(ihl + thl + chunk));
        put16(sip + 4, static_cast<uint16_t>(id0 + n));
        put16(sip + 10, 0);
        put16(sip + 10, VNET_CsumFold(VNET_CsumAdd(0, sip, ihl)));
        put32(tcp + 4, seq0 + static_cast<uint32_t>(off));
        uint8_t fl = flags0;
        if (!last)
            fl &= static_cast<uint8_t>(~(TCP_FIN | TCP_PSH));
        if (n > 0)
            fl &= static_cast<uint8_t>(~TCP_CWR);
        tcp[13] = fl;
        put16(tcp + 16, 0);
        uint8_t pseudo[12];
        std::memcpy(pseudo, sip + 12, 8);
        pseudo[8] = 0;
        pseudo[9] = IPPROTO_TCP_NUM;
        put16(pseudo + 10, static_cast<uint16_t>(thl + chunk));
        uint32_t sum = VNET_CsumAdd(0, pseudo, sizeof pseudo);
        sum = VNET_CsumAdd(sum, tcp, thl + chunk);
        put16(tcp + 16, VNET_CsumFold(sum));
        emit(arg, scratch, hl + chunk);
        n++;
        off += chunk;
    } while (off < payload);
    return n;
}

namespace
{
constexpr uint8_t TCP_ACK = 0x10;
// IPv4 length field bound for a coalesced segment.
constexpr size_t COALESCE_MAX_IP = 65535;

// Whether a frame may take part in a segment: TCP/IPv4 with payload, no
// options in IP, no fragment, only ACK and PSH, sound checksums.
// Sets the header length.
bool coalescable(const uint8_t *f, size_t len, size_t *hl)
{
    if (len < ETH_HLEN + IPV4_MIN_HLEN + TCP_MIN_HLEN || get16(f + 12) != ETH_P_IPV4)
        return false;
    const uint8_t *ip = f + ETH_HLEN;
    if (ip[0] != 0x45 || ip[9] != IPPROTO_TCP_NUM || (get16(ip + 6) & 0x3fff) != 0 ||
        get16(ip + 2) != len - ETH_HLEN)
        return false;
    const uint8_t *tcp = ip + IPV4_MIN_HLEN;
    size_t thl = static_cast<size_t>(tcp[12] >> 4) * 4;
    size_t h = ETH_HLEN + IPV4_MIN_HLEN + thl;
    if (thl < TCP_MIN_HLEN || h >= len || (tcp[13] & ~TCP_PSH) != TCP_ACK)
        return false;
    if (VNET_CsumFold(VNET_CsumAdd(0, ip, IPV4_MIN_HLEN)) != 0)
        return false;
    uint8_t pseudo[12];
    std::memcpy(pseudo, ip + 12, 8);
    pseudo[8] = 0;
    pseudo[9] = IPPROTO_TCP_NUM;
    put16(pseudo + 10, static_cast<uint16_t>(len - ETH_HLEN - IPV4_MIN_HLEN));
    uint32_t sum = VNET_CsumAdd(0, pseudo, sizeof pseudo);
    if (VNET_CsumFold(VNET_CsumAdd(sum, tcp, len - ETH_HLEN - IPV4_MIN_HLEN)) != 0)
        return false;
    *hl = h;
    return true;
}

void hold(vnet_coalescer *c, const uint8_t *f, size_t len, size_t hl)
{
    std::memcpy(c->buf, f, len);
    c->len = len;
    c->hl = hl;
    c->mss = len - hl;
    c->frames = 1;
    c->next_id = static_cast<uint16_t>(get16(f + ETH_HLEN + 4) + 1);
    const uint8_t *tcp = f + ETH_HLEN + IPV4_MIN_HLEN;
    c->next_seq = get32(tcp + 4) + static_cast<uint32_t>(c->mss);
    c->closed = (tcp[13] & TCP_PSH) != 0;
}

bool joins(const vnet_coalescer *c, const uint8_t *f, size_t len, size_t hl)
{
    if (c->closed || hl != c->hl || len - hl > c->mss ||
        c->len - ETH_HLEN + (len - hl) > COALESCE_MAX_IP)
        return false;
    const uint8_t *a = c->buf, *b = f;
    const uint8_t *ipa = a + ETH_HLEN, *ipb = b + ETH_HLEN;
    const uint8_t *ta = ipa + IPV4_MIN_HLEN, *tb = ipb + IPV4_MIN_HLEN;
    // Everything but lengths, identifier, sequence number, checksums and PSH.
    return std::memcmp(a, b, ETH_HLEN) == 0 && ipa[1] == ipb[1] &&
           std::memcmp(ipa + 6, ipb + 6, 4) == 0 && std::memcmp(ipa + 12, ipb + 12, 8) == 0 &&
           get16(ipb + 4) == c->next_id && std::memcmp(ta, tb, 4) == 0 &&
           get32(tb + 4) == c->next_seq && std::memcmp(ta + 8, tb + 8, 5) == 0 &&
           (ta[13] & ~TCP_PSH) == (tb[13] & ~TCP_PSH) && std::memcmp(ta + 14, tb + 14, 2) == 0 &&
           std::memcmp(ta + 18, tb + 18, hl - ETH_HLEN - IPV4_MIN_HLEN - 18) == 0;
}
} // namespace

void VNET_CoalesceFlush(vnet_coalescer *c, vnet_out_f out, void *arg)
{
    if (c->len == 0)
        return;
    uint8_t hdr[VNET_HDR_LEN] = {};
    if (c->frames > 1) {
        uint8_t *ip = c->buf + ETH_HLEN;
        uint8_t *tcp = ip + IPV4_MIN_HLEN;
        size_t l4len = c->len - ETH_HLEN - IPV4_MIN_HLEN;
        put16(ip + 2, static_cast<uint16_t>(c->len - ETH_HLEN));
        put16(ip + 10, 0);
        put16(ip + 10, VNET_CsumFold(VNET_CsumAdd(0, ip, IPV4_MIN_HLEN)));
        // As the kernel hands a segment to a device: the TCP checksum field
        // holds the pseudo header's sum, the rest is left to the receiver.
        uint8_t pseudo[12];
        std::memcpy(pseudo, ip + 12, 8);
        pseudo[8] = 0;
        pseudo[9] = IPPROTO_TCP_NUM;
        put16(pseudo + 10, static_cast<uint16_t>(l4len));
        put16(tcp + 16, static_cast<uint16_t>(~VNET_CsumFold(VNET_CsumAdd(0, pseudo, 12))));
        vnet_hdr h = {VNET_F_NEEDS_CSUM,
                      VNET_GSO_TCPV4,
                      static_cast<uint16_t>(c->hl),
                      static_cast<uint16_t>(c->mss),
                      static_cast<uint16_t>(ETH_HLEN + IPV4_MIN_HLEN),
                      16};
        hdr[0] = h.flags;
        hdr[1] = h.gso_type;
        std::memcpy(hdr + 2, &h.hdr_len, 2);
        std::memcpy(hdr + 4, &h.gso_size, 2);
        std::memcpy(hdr + 6, &h.csum_start, 2);
        std::memcpy(hdr + 8, &h.csum_offset, 2);
        c->segments++;
        c->seg_frames += c->frames;
    }
    out(arg, hdr, c->buf, c->len);
    c->len = 0;
    c->frames = 0;
}

void VNET_CoalesceAdd(vnet_coalescer *c, const uint8_t *frame, size_t len, vnet_out_f out,
                      void *arg)
{
    size_t hl;
    if (len > sizeof c->buf || !coalescable(frame, len, &hl)) {
        VNET_CoalesceFlush(c, out, arg);
        uint8_t hdr[VNET_HDR_LEN] = {};
        out(arg, hdr, frame, len);
        return;
    }
    if (c->len != 0 && joins(c, frame, len, hl)) {
        size_t pay = len - hl;
        std::memcpy(c->buf + c->len, frame + hl, pay);
        c->len += pay;
        c->frames++;
        c->next_id++;
        c->next_seq += static_cast<uint32_t>(pay);
        uint8_t *tcp = c->buf + ETH_HLEN + IPV4_MIN_HLEN;
        if (frame[ETH_HLEN + IPV4_MIN_HLEN + 13] & TCP_PSH) {
            tcp[13] |= TCP_PSH;
            c->closed = true;
        }
        if (pay < c->mss)
            c->closed = true;
        return;
    }
    VNET_CoalesceFlush(c, out, arg);
    hold(c, frame, len, hl);
}
