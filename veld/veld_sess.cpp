#include "veld_sess.h"

#include <arpa/inet.h>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/ethernet.h>
#include <netdb.h>
#include <netinet/ether.h>
#include <netinet/in.h>

#include "vas.h"
#include "veld_counters.h"
#include "veld_port.h"
#include "veld_stat.h"
#include "veld_state.h"
#include "vlog.h"
#include "vrate.h"

namespace
{
constexpr uint32_t SESS_HASH_SEED = 0x2000023;
constexpr uint32_t SESS_HASH_PRIME = 0x01000193;
constexpr uint8_t BCAST_MAC[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

// The operations of a transport kind.
const veld_port &port_of(uint32_t type)
{
    switch (type) {
    case SESS_ICMP:
        return veld_port_icmp;
    case SESS_TCP:
        return veld_port_tcp;
    default:
        VAS_ASSERT_TEXT(type == SESS_UDP, "sp->type == 1");
        return veld_port_udp;
    }
}

sess_bucket &bucket_of(const uint8_t *mac)
{
    AN(sesst.sesstbl);
    return sesst.sesstbl[sess_hash(mac) & sesst.sesstbl_mask];
}

void bucket_unlink(sess_bucket &b, sess *sp)
{
    if (sp->bucket_prev != nullptr)
        sp->bucket_prev->bucket_next = sp->bucket_next;
    else
        b.head = sp->bucket_next;
    if (sp->bucket_next != nullptr)
        sp->bucket_next->bucket_prev = sp->bucket_prev;
    else
        b.tail = sp->bucket_prev;
    sp->bucket_prev = sp->bucket_next = nullptr;
}

void sesslist_unlink(sess *sp)
{
    if (sp->all_prev != nullptr)
        sp->all_prev->all_next = sp->all_next;
    else
        sesst.sesslist_head = sp->all_next;
    if (sp->all_next != nullptr)
        sp->all_next->all_prev = sp->all_prev;
    else
        sesst.sesslist_tail = sp->all_prev;
    sp->all_prev = sp->all_next = nullptr;
}

// Receive-side accounting of one client frame.
void sess_account_rx(sess *sp, const uint8_t *frame, size_t len)
{
    sess_stat_backend(sp, STAT_TX, STAT_DIR_DST, sp->type, frame, len);
    if (sp->addr.ss_family == AF_INET) {
        const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&sp->addr);
        sess_stat_transport(sp, STAT_RX, sp->type, sin->sin_addr.s_addr, len);
    }
}

void sess_fill_names(sess *sp)
{
    int ret = getnameinfo(reinterpret_cast<const struct sockaddr *>(&sp->addr), sp->addrlen,
                          sp->hoststr, sizeof sp->hoststr, sp->portstr, sizeof sp->portstr,
                          NI_NUMERICHOST | NI_NUMERICSERV);
    if (ret != 0) {
        std::printf("getnameinfo = %d %s\n", ret, gai_strerror(ret));
        std::snprintf(sp->hoststr, sizeof sp->hoststr, "%s", "Conversion");
        std::snprintf(sp->portstr, sizeof sp->portstr, "%s", "Failed");
    }
    constexpr const char mapped[] = "::ffff:";
    if (std::strncmp(sp->hoststr, mapped, sizeof mapped - 1) == 0)
        std::memmove(sp->hoststr, sp->hoststr + sizeof mapped - 1,
                     std::strlen(sp->hoststr + sizeof mapped - 1) + 1);
}

// Numeric host and port of a peer address, for log lines.
void sess_peer_names(const struct sockaddr *addr, socklen_t addrlen, char *host, size_t hostlen,
                     char *port, size_t portlen)
{
    if (getnameinfo(addr, addrlen, host, hostlen, port, portlen, NI_NUMERICHOST | NI_NUMERICSERV) !=
        0) {
        std::snprintf(host, hostlen, "%s", "?");
        std::snprintf(port, portlen, "%s", "?");
    }
}

/*--------------------------------------------------------------------
 * Client endpoints: how many sessions each one holds
 */

bool ep_match(const sess_ep *ep, const struct sockaddr *addr, socklen_t addrlen, uint32_t type,
              const void *origin)
{
    if (ep->type != type)
        return false;
    if (type == SESS_TCP)
        return ep->tc == origin;
    if (ep->addrlen != addrlen || std::memcmp(&ep->addr, addr, addrlen) != 0)
        return false;
    return type != SESS_ICMP || ep->icmp_seq == static_cast<const icmp_origin *>(origin)->seq;
}

sess_ep *&ep_bucket(const struct sockaddr *addr, socklen_t addrlen, uint32_t type,
                    const void *origin)
{
    uint32_t h = SESS_HASH_SEED ^ type;
    auto mix = [&h](const void *p, size_t n) {
        const auto *b = static_cast<const uint8_t *>(p);
        for (size_t i = 0; i < n; i++) {
            h *= SESS_HASH_PRIME;
            h ^= b[i];
        }
    };
    if (type == SESS_TCP) {
        mix(&origin, sizeof origin);
    } else {
        mix(addr, addrlen);
        if (type == SESS_ICMP)
            mix(&static_cast<const icmp_origin *>(origin)->seq, 2);
    }
    return sesst.eptbl[h % SESS_EP_BUCKETS];
}

sess_ep *ep_find(const struct sockaddr *addr, socklen_t addrlen, uint32_t type, const void *origin)
{
    for (sess_ep *ep = ep_bucket(addr, addrlen, type, origin); ep != nullptr; ep = ep->next)
        if (ep_match(ep, addr, addrlen, type, origin))
            return ep;
    return nullptr;
}

sess_ep *ep_get(const struct sockaddr *addr, socklen_t addrlen, uint32_t type, const void *origin)
{
    sess_ep *ep = ep_find(addr, addrlen, type, origin);
    if (ep != nullptr)
        return ep;
    ep = static_cast<sess_ep *>(std::calloc(1, sizeof(sess_ep)));
    VAS_ASSERT_TEXT(ep != nullptr, "ep != ((void *)0)");
    ep->type = type;
    if (type == SESS_TCP)
        ep->tc = static_cast<const tcpconn *>(origin);
    if (type == SESS_ICMP)
        ep->icmp_seq = static_cast<const icmp_origin *>(origin)->seq;
    ep->addrlen = addrlen;
    std::memcpy(&ep->addr, addr, addrlen);
    sess_ep *&head = ep_bucket(addr, addrlen, type, origin);
    ep->next = head;
    head = ep;
    return ep;
}

void ep_put(sess_ep *ep)
{
    AN(ep);
    VAS_ASSERT(ep->nsess > 0);
    if (--ep->nsess > 0)
        return;
    icmp_origin io = {0, ep->icmp_seq};
    const void *origin = ep->type == SESS_TCP ? static_cast<const void *>(ep->tc) : &io;
    sess_ep **pp = &ep_bucket(reinterpret_cast<const struct sockaddr *>(&ep->addr), ep->addrlen,
                              ep->type, origin);
    while (*pp != ep) {
        AN(*pp);
        pp = &(*pp)->next;
    }
    *pp = ep->next;
    std::free(ep);
}

// Lines a client can cause with every frame go through these.
vrate rl_limit{"Too many sessions"};
vrate rl_src{"Drop the frame"};
vrate rl_bcast{"Broadcast budget"};

// A new session must leave room under both limits; the refusal is logged a
// few times a second at most.
bool sess_may_create(const struct sockaddr *addr, socklen_t addrlen, uint32_t type,
                     const void *origin)
{
    const sess_ep *ep = nullptr;
    if (sesst.n_sess < SESS_MAX_TOTAL) {
        ep = ep_find(addr, addrlen, type, origin);
        if (ep == nullptr || ep->nsess < SESS_MAX_PER_ENDPOINT)
            return true;
    }
    (ep == nullptr ? vcnt.refused_sessions_total : vcnt.refused_sessions_endpoint)++;
    if (ep == nullptr) {
        VRATE_Log(&rl_limit, "[WARN] Too many sessions (%ju); frames from new stations are dropped",
                  static_cast<uintmax_t>(sesst.n_sess));
        return false;
    }
    char host[64], port[16];
    if (const veld_port &p = port_of(type); p.peer != nullptr) {
        socklen_t peerlen;
        const struct sockaddr *peer = p.peer(origin, &peerlen);
        sess_peer_names(peer, peerlen, host, sizeof host, port, sizeof port);
    } else {
        sess_peer_names(addr, addrlen, host, sizeof host, port, sizeof port);
    }
    VRATE_Log(&rl_limit,
              "[WARN] Too many sessions from %s:%s (%ju, mode %s); frames from new stations are "
              "dropped",
              host, port, static_cast<uintmax_t>(ep->nsess), sess_mode(type));
    return false;
}

// Like a hardware switch, learn no station from a group source address, nor
// from the TAP device's own: either would capture frames meant for others.
bool sess_src_refused(const struct sockaddr *addr, socklen_t addrlen, const uint8_t *frame)
{
    const uint8_t *smac = frame + 6;
    const char *why;
    if (smac[0] & 1)
        why = "a group address";
    else if (veld_port_tap.owns_mac(smac))
        why = "the TAP device's address";
    else
        return false;
    vcnt.refused_source_address++;
    char host[64], port[16], mac[18] = "";
    sess_peer_names(addr, addrlen, host, sizeof host, port, sizeof port);
    struct ether_addr ea;
    std::memcpy(ea.ether_addr_octet, smac, 6);
    if (ether_ntoa_r(&ea, mac) == nullptr)
        mac[0] = '\0';
    VRATE_Log(&rl_src, "[WARN] Drop the frame; source %s is %s (from %s:%s)", mac, why, host, port);
    return true;
}

// Sends one frame to one session by its transport; UDP broadcast copies use
// the broadcast send, which logs failures at a lower level.
void sess_send(sess *sp, const uint8_t *frame, size_t len, bool bcast)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    vcnt.frames_out[sp->type % VELD_TRANSPORTS]++;
    vcnt.bytes_out[sp->type % VELD_TRANSPORTS] += len;
    port_of(sp->type).send(sp, frame, len, bcast);
}
} // namespace

uint32_t sess_hash(const uint8_t mac[6])
{
    uint32_t h = SESS_HASH_SEED;
    for (int i = 0; i < 6; i++) {
        h *= SESS_HASH_PRIME;
        h ^= mac[i];
    }
    return h;
}

sess_bucket *sessinit(int elements, uint32_t *mask)
{
    VAS_ASSERT_TEXT(elements > 0, "elements > 0");
    uint32_t n = 1;
    while (n * 2 <= static_cast<uint32_t>(elements))
        n *= 2;
    auto *hashtbl = static_cast<sess_bucket *>(std::calloc(n, sizeof(sess_bucket)));
    VAS_ASSERT_TEXT(hashtbl != nullptr, "hashtbl != ((void *)0)");
    AN(mask);
    *mask = n - 1;
    return hashtbl;
}

bool sess_is_local(const struct sockaddr *addr, socklen_t addrlen)
{
    if (addr == nullptr || addr->sa_family != AF_INET || addrlen < sizeof(struct sockaddr_in))
        return false;
    uint32_t a = reinterpret_cast<const struct sockaddr_in *>(addr)->sin_addr.s_addr;
    uint32_t h = ntohl(a);
    uint32_t o1 = h >> 24;
    if (o1 == 10 || o1 == 127)
        return true;
    if ((h & 0xffff0000u) == 0xa9fe0000u) // 169.254.0.0/16
        return true;
    if ((h & 0xfff00000u) == 0xac100000u) // 172.16.0.0/12
        return true;
    if ((h & 0xffff0000u) == 0xc0a80000u) // 192.168.0.0/16
        return true;
    uint32_t public_ip = veld_port_tap.public_ip();
    return public_ip != 0xffffffffu && a == public_ip;
}

const char *sess_mode(uint32_t type)
{
    switch (type) {
    case SESS_UDP:
        return "UDP";
    case SESS_TCP:
        return "TCP";
    case SESS_ICMP:
        return "ICMP";
    default:
        return "UNKNOWN";
    }
}

sess *sess_insert(const struct sockaddr *addr, socklen_t addrlen, const uint8_t *frame, size_t len,
                  uint32_t type, const void *origin, int *created)
{
    AN(addr);
    AN(frame);
    VAS_ASSERT(len > SESS_MIN_FRAME);
    VAS_ASSERT(addrlen <= sizeof(struct sockaddr_storage));
    const uint8_t *smac = frame + 6;
    sess_bucket &b = bucket_of(smac);

    for (sess *sp = b.head; sp != nullptr; sp = sp->bucket_next) {
        CHECK_OBJ(sp, 0x37f52bf3);
        if (std::memcmp(sp->mac, smac, 6) != 0 || sp->addrlen != addrlen ||
            std::memcmp(&sp->addr, addr, addrlen) != 0)
            continue;
        if (sp->type == SESS_TCP) {
            if (sp->tc == nullptr)
                VLOG("[CRIT] wrong case!");
            if (type != SESS_TCP || sp->tc != origin) {
                VLOG("[ERROR] multiple sessions for a tcpconn are detected");
                continue;
            }
        } else if (sp->type == SESS_ICMP) {
            if (type != SESS_ICMP)
                continue;
            AN(origin);
            const auto *io = static_cast<const icmp_origin *>(origin);
            if (io->seq != sp->icmp_seq)
                continue;
            // The sequence number is the key; replies follow the newest identifier.
            if (io->id != sp->icmp_id)
                sp->icmp_id = io->id;
        }
        sp->last_seen = veld_now();
        sess_account_rx(sp, frame, len);
        if (created != nullptr)
            *created = 0;
        return sp;
    }

    if (!sess_may_create(addr, addrlen, type, origin))
        return nullptr;
    auto *sp = static_cast<sess *>(std::calloc(1, sizeof(sess)));
    VAS_ASSERT_TEXT(sp != nullptr, "sp != ((void *)0)");
    sp->magic = SESS_MAGIC;
    // A round in progress began before this session: it waits for the next.
    sp->stat_gen = statst.gen;
    sp->ep = ep_get(addr, addrlen, type, origin);
    sp->ep->nsess++;
    sp->type = type;
    if (type == SESS_TCP) {
        sp->tc = static_cast<tcpconn *>(const_cast<void *>(origin));
        veld_port_tcp.hold(sp);
    } else if (type == SESS_ICMP) {
        AN(origin);
        const auto *io = static_cast<const icmp_origin *>(origin);
        sp->icmp_id = io->id;
        sp->icmp_seq = io->seq;
    }
    std::memcpy(&sp->addr, addr, addrlen);
    sp->addrlen = addrlen;
    sess_fill_names(sp);
    std::memcpy(sp->mac, smac, 6);
    struct ether_addr ea;
    std::memcpy(ea.ether_addr_octet, smac, 6);
    if (ether_ntoa_r(&ea, sp->macstr) == nullptr) {
        sp->macstr[0] = '\0';
        VLOG("[ERROR] failed to get the ethernet string.");
    }
    sp->last_seen = veld_now();
    sess_account_rx(sp, frame, len);

    sp->bucket_next = b.head;
    if (b.head != nullptr)
        b.head->bucket_prev = sp;
    else
        b.tail = sp;
    b.head = sp;
    sp->all_prev = sesst.sesslist_tail;
    if (sesst.sesslist_tail != nullptr)
        sesst.sesslist_tail->all_next = sp;
    else
        sesst.sesslist_head = sp;
    sesst.sesslist_tail = sp;
    sesst.n_sess++;
    if (created != nullptr)
        *created = 1;
    VLOG("[INFO] The session (%p) %s is created from %s:%s (mode %s n_sess %ju)",
         static_cast<void *>(sp), sp->macstr, sp->hoststr, sp->portstr, sess_mode(sp->type),
         static_cast<uintmax_t>(sesst.n_sess));
    return sp;
}

void sess_rx(const struct sockaddr *addr, socklen_t addrlen, const uint8_t *frame, size_t len,
             uint32_t type, const void *origin, int *created)
{
    vcnt.frames_in[type % VELD_TRANSPORTS]++;
    vcnt.bytes_in[type % VELD_TRANSPORTS] += len;
    if (sess_is_local(addr, addrlen))
        return;
    if (sess_src_refused(addr, addrlen, frame))
        return;
    sess *sp = sess_insert(addr, addrlen, frame, len, type, origin, created);
    if (sp == nullptr)
        return;
    sess_learn(sp, frame, len);
    if (std::memcmp(frame, BCAST_MAC, 6) == 0) {
        vcnt.broadcasts++;
        sess_bcast_from_client(sp, frame, len);
        return;
    }
    sess *dst = sess_find(frame, len);
    if (dst != nullptr) {
        sess_tx(dst, frame, len);
        return;
    }
    veld_port_tap.write(frame, len);
}

sess *sess_find(const uint8_t *frame, size_t len)
{
    VAS_ASSERT_TEXT(len > 6, "len > 6");
    AN(frame);
    for (sess *sp = bucket_of(frame).head; sp != nullptr; sp = sp->bucket_next) {
        CHECK_OBJ(sp, 0x37f52bf3);
        if (std::memcmp(sp->mac, frame, 6) == 0)
            return sp;
    }
    return nullptr;
}

void sess_tx(sess *sp, const uint8_t *frame, size_t len)
{
    sess_send(sp, frame, len, false);
}

void sess_broadcast(const uint8_t *frame, size_t len, const sess *except)
{
    for (sess *sp = sesst.sesslist_head; sp != nullptr; sp = sp->all_next) {
        CHECK_OBJ(sp, 0x37f52bf3);
        if (sp == except)
            continue;
        vcnt.broadcast_copies++;
        sess_send(sp, frame, len, true);
    }
}

/*--------------------------------------------------------------------
 * Address bindings and broadcasts
 */

namespace
{
constexpr uint16_t ETH_P_ARP_FRAME = 0x0806;
constexpr uint16_t ETH_P_IP_FRAME = 0x0800;
constexpr size_t ARP_FRAME_MIN = 42; // Ethernet header and an IPv4-over-Ethernet ARP body
constexpr size_t ARP_OPER_OFF = 20;
constexpr size_t ARP_SPA_OFF = 28;
constexpr size_t ARP_TPA_OFF = 38;
constexpr size_t IPV4_SRC_OFF = 26;
constexpr size_t IPV4_FRAME_MIN = 34;

uint32_t arp_hash(uint32_t ip)
{
    return (ip * 2654435761u) >> 19; // 13 bits: SESS_ARP_BUCKETS
}
static_assert(SESS_ARP_BUCKETS == 1u << 13);

sess_arp **arp_slot(uint32_t ip)
{
    sess_arp **pp = &sesst.arptbl[arp_hash(ip)];
    while (*pp != nullptr && (*pp)->ip != ip)
        pp = &(*pp)->next;
    return pp;
}

void arp_unbind(sess_arp *a)
{
    sess_arp **pp = arp_slot(a->ip);
    VAS_ASSERT(*pp == a);
    *pp = a->next;
    sess *sp = a->sp;
    sess_arp **sq = &sp->arp;
    while (*sq != a) {
        AN(*sq);
        sq = &(*sq)->snext;
    }
    *sq = a->snext;
    sp->n_arp--;
    sesst.n_arp--;
    std::free(a);
}

uint16_t be16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
} // namespace

sess_arp_kind sess_arp_parse(const uint8_t *frame, size_t len, uint32_t *spa, uint32_t *tpa)
{
    // Ethernet hardware (1), IPv4 protocol, 6-byte and 4-byte addresses.
    static constexpr uint8_t ipv4_over_eth[6] = {0, 1, 8, 0, 6, 4};
    if (len < ARP_FRAME_MIN || be16(frame + 12) != ETH_P_ARP_FRAME ||
        std::memcmp(frame + 14, ipv4_over_eth, sizeof ipv4_over_eth) != 0)
        return sess_arp_kind::none;
    std::memcpy(spa, frame + ARP_SPA_OFF, 4);
    std::memcpy(tpa, frame + ARP_TPA_OFF, 4);
    uint16_t oper = be16(frame + ARP_OPER_OFF);
    if (*spa == *tpa && *spa != 0 && (oper == 1 || oper == 2))
        return sess_arp_kind::gratuitous;
    if (oper == 1)
        return sess_arp_kind::request;
    if (oper == 2)
        return sess_arp_kind::reply;
    return sess_arp_kind::none;
}

void sess_arp_bind(sess *sp, uint32_t ip)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    uint32_t h = ntohl(ip);
    // No station owns the unspecified, limited-broadcast or group addresses,
    // nor the node's own: a client claiming the gateway's address must not
    // receive every other client's requests for it.
    uint32_t public_ip = veld_port_tap.public_ip();
    if (ip == 0 || ip == 0xffffffffu || (h >> 28) == 0xe || veld_port_tap.owns_ip(ip) ||
        (public_ip != 0xffffffffu && ip == public_ip))
        return;
    sess_arp **pp = arp_slot(ip);
    sess_arp *a = *pp;
    if (a != nullptr) {
        if (a->sp == sp)
            return;
        arp_unbind(a); // the address moved to another station
    }
    if (sp->n_arp >= SESS_ARP_PER_SESS) {
        sess_arp *oldest = sp->arp;
        while (oldest->snext != nullptr)
            oldest = oldest->snext;
        arp_unbind(oldest);
    }
    a = static_cast<sess_arp *>(std::calloc(1, sizeof(sess_arp)));
    VAS_ASSERT_TEXT(a != nullptr, "a != ((void *)0)");
    a->ip = ip;
    a->sp = sp;
    pp = arp_slot(ip);
    a->next = *pp;
    *pp = a;
    a->snext = sp->arp;
    sp->arp = a;
    sp->n_arp++;
    sesst.n_arp++;
}

sess *sess_arp_owner(uint32_t ip)
{
    sess_arp *a = *arp_slot(ip);
    return a != nullptr ? a->sp : nullptr;
}

void sess_learn(sess *sp, const uint8_t *frame, size_t len)
{
    if (len < IPV4_FRAME_MIN)
        return;
    uint16_t et = be16(frame + 12);
    uint32_t ip, tpa;
    if (et == ETH_P_IP_FRAME) {
        if ((frame[14] >> 4) != 4)
            return;
        std::memcpy(&ip, frame + IPV4_SRC_OFF, 4);
    } else if (et == ETH_P_ARP_FRAME) {
        if (sess_arp_parse(frame, len, &ip, &tpa) == sess_arp_kind::none)
            return;
    } else {
        return;
    }
    // Most frames come from a bound address: one look into the table.
    sess_arp *a = *arp_slot(ip);
    if (a != nullptr && a->sp == sp)
        return;
    sess_arp_bind(sp, ip);
}

bool sess_bcast_budget(sess *sp)
{
    double now = veld_clock_mono();
    if (sp->bc_last == 0) {
        sp->bc_tokens = SESS_BCAST_BURST;
    } else if (now > sp->bc_last) {
        sp->bc_tokens += (now - sp->bc_last) * SESS_BCAST_RATE;
        if (sp->bc_tokens > SESS_BCAST_BURST)
            sp->bc_tokens = SESS_BCAST_BURST;
    }
    sp->bc_last = now;
    if (sp->bc_tokens < 1)
        return false;
    sp->bc_tokens -= 1;
    return true;
}

void sess_bcast_from_tap(const uint8_t *frame, size_t len)
{
    uint32_t spa, tpa;
    if (sess_arp_parse(frame, len, &spa, &tpa) == sess_arp_kind::request) {
        sess *dst = sess_arp_owner(tpa);
        if (dst != nullptr) {
            sess_send(dst, frame, len, true);
            return;
        }
    }
    sess_broadcast(frame, len, nullptr);
}

void sess_bcast_from_client(sess *sp, const uint8_t *frame, size_t len)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    uint32_t spa, tpa;
    switch (sess_arp_parse(frame, len, &spa, &tpa)) {
    case sess_arp_kind::gratuitous:
        // An announcement: only the kernel keeps a cache that it updates;
        // the other stations learn the address when they ask for it.
        veld_port_tap.write(frame, len);
        return;
    case sess_arp_kind::request: {
        if (veld_port_tap.owns_ip(tpa)) {
            veld_port_tap.write(frame, len);
            return;
        }
        sess *dst = sess_arp_owner(tpa);
        if (dst == sp) {
            // Asking for its own address (a duplicate-address probe): no
            // other station owns it.
            veld_port_tap.write(frame, len);
            return;
        }
        if (dst != nullptr) {
            sess_send(dst, frame, len, true);
            return;
        }
        break;
    }
    default:
        break;
    }
    if (sess_bcast_budget(sp)) {
        sess_broadcast(frame, len, sp);
    } else {
        sesst.bcast_over++;
        VRATE_Log(&rl_bcast,
                  "[WARN] Broadcasts from %s:%s (%s) beyond %.0f a second reach the TAP device "
                  "only (%ju so far)",
                  sp->hoststr, sp->portstr, sp->macstr, SESS_BCAST_RATE,
                  static_cast<uintmax_t>(sesst.bcast_over));
    }
    veld_port_tap.write(frame, len);
}

namespace
{
void sess_free(sess *sp, bool flush)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    // Queued datagrams point to their sessions.
    VAS_ASSERT_TEXT(veld_port_udp.queued() == 0, "dgram_queued() == 0");
    if (flush) {
        int nentry = 0;
        sess_stat_flush(sp, &nentry, -1, -1);
        char host[INET_ADDRSTRLEN] = "";
        int port = 0;
        if (sp->addr.ss_family == AF_INET) {
            const auto *sin = reinterpret_cast<const struct sockaddr_in *>(&sp->addr);
            inet_ntop(AF_INET, &sin->sin_addr, host, sizeof host);
            port = ntohs(sin->sin_port);
        }
        VLOG("[INFO] The session (%p) is timeouted. Connection to %s:%d is cleaned up with %d "
             "entries.",
             static_cast<void *>(sp), host, port, nentry);
    }
    if (const veld_port &p = port_of(sp->type); p.release != nullptr)
        p.release(sp);
    stat_forget(sp);
    while (sp->arp != nullptr)
        arp_unbind(sp->arp);
    bucket_unlink(bucket_of(sp->mac), sp);
    sesslist_unlink(sp);
    ep_put(sp->ep);
    std::free(sp->ip_usage);
    sp->magic = 0;
    std::free(sp);
    sesst.n_sess--;
}
} // namespace

void sess_cleanup()
{
    int64_t now = veld_now();
    if (sesst.last_cleanup == 0) {
        sesst.last_cleanup = now;
        return;
    }
    if (now - sesst.last_cleanup < veld.cleanup_interval)
        return;
    sesst.last_cleanup = now;
    for (uint32_t i = 0; i <= sesst.sesstbl_mask; i++) {
        sess *next;
        for (sess *sp = sesst.sesstbl[i].head; sp != nullptr; sp = next) {
            CHECK_OBJ(sp, 0x37f52bf3);
            next = sp->bucket_next;
            if (sp->last_seen + SESS_TIMEOUT < now)
                sess_free(sp, true);
        }
    }
}

void sess_reset()
{
    while (sesst.sesslist_head != nullptr)
        sess_free(sesst.sesslist_head, false);
    std::free(sesst.sesstbl);
    sesst = sess_table{};
    VRATE_Reset(&rl_limit);
    VRATE_Reset(&rl_src);
    VRATE_Reset(&rl_bcast);
}

void sess_log_flush()
{
    VRATE_Flush(&rl_limit);
    VRATE_Flush(&rl_src);
    VRATE_Flush(&rl_bcast);
}
