#include "veld_stat.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/types.h>
#include <ctime>

#include "vas.h"
#include "veld_sessrec.h"
#include "veld_shmlog.h"
#include "veld_state.h"
#include "vlog.h"
#include "vtim.h"

stat_state statst;

namespace
{
constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;
constexpr size_t ETH_TYPE_END = 13;  // frames up to here have no EtherType
constexpr size_t IPV4_ADDR_END = 33; // frames up to here have no IPv4 addresses
constexpr size_t IPV4_SRC_OFF = 26;
constexpr size_t IPV4_DST_OFF = 30;
// Per-frame overheads of the outer packet: IPv4 + UDP, IPv4 + TCP, IPv4 + ICMP
// and the tunnel magic.
constexpr uint64_t OVERHEAD_UDP = 28;
constexpr uint64_t OVERHEAD_TCP = 44;
constexpr uint64_t OVERHEAD_ICMP = 32;

void stat_add(usage *u, int rxtx, uint64_t n)
{
    if (rxtx == STAT_RX)
        u->rx += n;
    else
        u->tx += n;
}

bool stat_rxtx_ok(int rxtx, uint32_t type, size_t len)
{
    if (rxtx == STAT_RX || rxtx == STAT_TX)
        return true;
    VLOG("[ERROR] unknown rxtx %d type %d len %zd", rxtx, static_cast<int>(type),
         static_cast<ssize_t>(len));
    return false;
}
} // namespace

void sess_stat_backend(sess *sp, int rxtx, int dir, uint32_t type, const uint8_t *frame, size_t len)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    if (!stat_rxtx_ok(rxtx, type, len))
        return;
    bool has_key = false;
    uint32_t key = 0;
    if (len > ETH_TYPE_END) {
        uint16_t et = static_cast<uint16_t>(frame[12] << 8 | frame[13]);
        if (et != ETHERTYPE_IPV4) {
            has_key = true; // keyed by 0: no usable address
        } else if (len > IPV4_ADDR_END) {
            has_key = true;
            std::memcpy(&key, frame + (dir == STAT_DIR_DST ? IPV4_DST_OFF : IPV4_SRC_OFF), 4);
        }
    }
    usage *u;
    if (!has_key || key == 0 || key == 0xffffffffu) {
        u = &sp->other_usage;
    } else {
        u = sess_ip_usage(sp, key);
        if (u == nullptr)
            return;
    }
    stat_add(u, rxtx, len + (type == SESS_TCP ? OVERHEAD_TCP : OVERHEAD_UDP));
}

void sess_stat_transport(sess *sp, int rxtx, uint32_t type, uint32_t addr, size_t len)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    if (!stat_rxtx_ok(rxtx, type, len))
        return;
    sp->peer_usage.addr = addr;
    uint64_t over = type == SESS_TCP    ? OVERHEAD_TCP
                    : type == SESS_ICMP ? OVERHEAD_ICMP
                                        : OVERHEAD_UDP;
    stat_add(&sp->peer_usage, rxtx, len + over);
}

namespace
{
// Decimal text of v at p; returns the end. Counters are unsigned but the
// records have always printed them signed.
char *put_int(char *p, int64_t v)
{
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    if (v < 0)
        *p++ = '-';
    char tmp[20];
    int n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    while (n > 0)
        *p++ = tmp[--n];
    return p;
}

// Dotted decimal of an IPv4 address in network byte order.
char *put_ip4(char *p, uint32_t addr)
{
    const auto *b = reinterpret_cast<const uint8_t *>(&addr);
    for (int i = 0; i < 4; i++) {
        if (i > 0)
            *p++ = '.';
        unsigned v = b[i];
        if (v >= 100)
            *p++ = static_cast<char>('0' + v / 100);
        if (v >= 10)
            *p++ = static_cast<char>('0' + v / 10 % 10);
        *p++ = static_cast<char>('0' + v % 10);
    }
    return p;
}

char *put_text(char *p, const char *s)
{
    size_t n = std::strlen(s);
    std::memcpy(p, s, n);
    return p + n;
}

// Everything before the record's line type: "stamp;real;mono;" of the round,
// then "host;port;mac;" of the session.
struct stat_line {
    char buf[VSL_MAX_RECORD + 256];
    char *body; // where the line type goes
};

void stat_line_init(stat_line *l, const sess *sp, const char *prefix, size_t prefix_len)
{
    static_assert(STAT_PREFIX_SIZE + sizeof sess::hoststr + sizeof sess::portstr +
                      sizeof sess::macstr + 3 + 128 <
                  sizeof stat_line::buf);
    std::memcpy(l->buf, prefix, prefix_len);
    char *p = l->buf + prefix_len;
    p = put_text(p, sp->hoststr);
    *p++ = ';';
    p = put_text(p, sp->portstr);
    *p++ = ';';
    p = put_text(p, sp->macstr);
    *p++ = ';';
    l->body = p;
}

// "K;addr;in;out;D" or "U;-;in;out;D" behind the prefix, into the log.
void stat_line_write(stat_line *l, const usage *u, bool other)
{
    char *p = l->body;
    if (other) {
        std::memcpy(p, "U;-", 3);
        p += 3;
    } else {
        *p++ = 'K';
        *p++ = ';';
        p = put_ip4(p, u->addr);
    }
    *p++ = ';';
    p = put_int(p, static_cast<int64_t>(u->rx));
    *p++ = ';';
    p = put_int(p, static_cast<int64_t>(u->tx));
    std::memcpy(p, ";D", 2);
    p += 2;
    VSL_Write(STAT_VSL_TAG, 0, l->buf, static_cast<size_t>(p - l->buf));
}

// The round's part of every record: "stamp;real;mono;".
size_t stat_prefix(char *buf, size_t size, double real, double mono)
{
    char stamp[VTIM_PRINT_SIZE];
    VTIM_print(stamp, "%a, %d %b %Y %T GMT", real);
    int n = std::snprintf(buf, size, "%s;%.2f;%.2f;", stamp, real, mono);
    VAS_ASSERT(n > 0 && static_cast<size_t>(n) < size);
    return static_cast<size_t>(n);
}

// The records of one session, in their order: the transport K record, the U
// record, then one K record per remote address in order of appearance. Then
// its counters start again.
void stat_write_session(sess *sp, const char *prefix, size_t prefix_len, int *nentry)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    bool any = sp->peer_usage.rx != 0 || sp->peer_usage.tx != 0 || sp->other_usage.rx != 0 ||
               sp->other_usage.tx != 0 || sp->n_ip_usage > 0;
    if (any) {
        stat_line l;
        stat_line_init(&l, sp, prefix, prefix_len);
        if (sp->peer_usage.rx != 0 || sp->peer_usage.tx != 0) {
            stat_line_write(&l, &sp->peer_usage, false);
            (*nentry)++;
        }
        if (sp->other_usage.rx != 0 || sp->other_usage.tx != 0) {
            stat_line_write(&l, &sp->other_usage, true);
            (*nentry)++;
        }
        for (int i = 0; i < sp->n_ip_usage; i++) {
            const usage *u = &sp->ip_usage[i];
            if (u->rx != 0 || u->tx != 0) {
                stat_line_write(&l, u, false);
                (*nentry)++;
            }
        }
    }
    // The peer address stays: the next frame sets it again anyway. The
    // address table starts empty in every interval; a session that used it
    // keeps its room for the next one, an idle one gives it back, so an idle
    // session costs only its record. (Freeing every table in a round made
    // the allocator hand tens of megabytes back to the kernel in the middle
    // of a slice.)
    sp->peer_usage.rx = 0;
    sp->peer_usage.tx = 0;
    sp->other_usage.tx = 0;
    sp->other_usage.rx = 0;
    if (sp->n_ip_usage == 0) {
        std::free(sp->ip_usage);
        sp->ip_usage = nullptr;
        sp->ip_usage_cap = 0;
    }
    sp->n_ip_usage = 0;
}

double stat_clock(clockid_t id)
{
    struct timespec ts;
    AZ(clock_gettime(id, &ts));
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double stat_clock_now()
{
    return stat_clock(CLOCK_MONOTONIC);
}

void stat_round_begin(double now_real, double now_mono)
{
    statst.last_emit = now_real;
    statst.active = true;
    statst.gen++;
    statst.real = now_real;
    statst.mono = now_mono;
    statst.next = sesst.sesslist_head;
    statst.nsess = 0;
    statst.nentry = 0;
    statst.prefix_len = stat_prefix(statst.prefix, sizeof statst.prefix, now_real, now_mono);
    statst.slices = 0;
    statst.longest = 0;
    statst.began = stat_clock_now();
}

// Writes sessions of the round in progress until the bounds of one slice are
// reached (no bounds: to the end). Ends the round after its last session.
void stat_slice(bool bounded)
{
    if (!statst.active)
        return;
    double t0 = stat_clock_now();
    double c0 = veld.debug > 0 ? stat_clock(CLOCK_THREAD_CPUTIME_ID) : 0;
    double limit = t0 + statst.slice_usec * 1e-6;
    unsigned n = 0;
    while (statst.next != nullptr) {
        if (bounded && n > 0 && (n >= statst.slice_sessions || stat_clock_now() >= limit))
            break;
        sess *sp = statst.next;
        CHECK_OBJ(sp, 0x37f52bf3);
        statst.next = sp->all_next;
        // Sessions that came after the round began wait for the next one.
        if (sp->stat_gen == statst.gen)
            continue;
        sp->stat_gen = statst.gen;
        stat_write_session(sp, statst.prefix, statst.prefix_len, &statst.nentry);
        statst.nsess++;
        n++;
    }
    double took = stat_clock_now() - t0;
    statst.slices++;
    if (took > statst.longest) {
        statst.longest = took;
        // Whether the slice worked that long or waited (for the CPU, a page).
        statst.longest_cpu = veld.debug > 0 ? stat_clock(CLOCK_THREAD_CPUTIME_ID) - c0 : 0;
    }
    if (statst.next != nullptr)
        return;
    statst.active = false;
    VLOG("[INFO] Stat is written. (nsess %d, nentry %d)", statst.nsess, statst.nentry);
    if (veld.debug > 0)
        VLOG("[INFO] Usage round: %d sessions, %d records in %u slices from %.3f to %.3f "
             "(monotonic), longest slice %.3f ms (CPU %.3f ms)",
             statst.nsess, statst.nentry, statst.slices, statst.began, stat_clock_now(),
             statst.longest * 1e3, statst.longest_cpu * 1e3);
}
} // namespace

void sess_stat_flush(sess *sp, int *nentry, double real, double mono)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    AN(nentry);
    if (real == -1)
        real = veld_clock_real();
    if (mono == -1)
        mono = veld_clock_mono();
    char prefix[STAT_PREFIX_SIZE];
    size_t n = stat_prefix(prefix, sizeof prefix, real, mono);
    stat_write_session(sp, prefix, n, nentry);
}

void stat_emit()
{
    if (!statst.active) {
        double now_real = veld_clock_real();
        double now_mono = veld_clock_mono();
        if (statst.last_emit != 0 && veld.usage_interval >= now_real - statst.last_emit)
            return;
        stat_round_begin(now_real, now_mono);
    }
    stat_slice(true);
}

bool stat_round_active()
{
    return statst.active;
}

void stat_round_finish()
{
    stat_slice(false);
}

void stat_emit_now()
{
    stat_round_finish();
    stat_round_begin(veld_clock_real(), veld_clock_mono());
    stat_slice(false);
}

void stat_forget(const sess *sp)
{
    if (statst.next == sp)
        statst.next = sp->all_next;
}
