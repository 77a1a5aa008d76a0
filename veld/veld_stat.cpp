#include "veld_stat.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <sys/types.h>

#include "vas.h"
#include "veld_sess.h"
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
void stat_write_k(const sess *sp, const char *stamp, double real, double mono, const usage *u)
{
    char addr[INET_ADDRSTRLEN];
    struct in_addr in;
    in.s_addr = u->addr;
    AN(inet_ntop(AF_INET, &in, addr, sizeof addr));
    // Counters are unsigned but the record has always printed them signed.
    VSL(STAT_VSL_TAG, 0, "%s;%.2f;%.2f;%s;%s;%s;K;%s;%zd;%zd;D", stamp, real, mono, sp->hoststr,
        sp->portstr, sp->macstr, addr, static_cast<ssize_t>(u->rx), static_cast<ssize_t>(u->tx));
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
    char stamp[VTIM_PRINT_SIZE];
    VTIM_print(stamp, "%a, %d %b %Y %T GMT", real);

    if (sp->peer_usage.rx != 0 || sp->peer_usage.tx != 0) {
        stat_write_k(sp, stamp, real, mono, &sp->peer_usage);
        (*nentry)++;
    }
    if (sp->other_usage.rx != 0 || sp->other_usage.tx != 0) {
        VSL(STAT_VSL_TAG, 0, "%s;%.2f;%.2f;%s;%s;%s;U;-;%zd;%zd;D", stamp, real, mono, sp->hoststr,
            sp->portstr, sp->macstr, static_cast<ssize_t>(sp->other_usage.rx),
            static_cast<ssize_t>(sp->other_usage.tx));
        (*nentry)++;
    }
    for (int i = 0; i < sp->n_ip_usage; i++) {
        const usage *u = &sp->ip_usage[i];
        if (u->rx != 0 || u->tx != 0) {
            stat_write_k(sp, stamp, real, mono, u);
            (*nentry)++;
        }
    }
    // The peer address stays: the next frame sets it again anyway. The
    // address table starts empty in every interval, so it is given back: an
    // idle session costs only its record.
    sp->peer_usage.rx = 0;
    sp->peer_usage.tx = 0;
    sp->other_usage.tx = 0;
    sp->other_usage.rx = 0;
    std::free(sp->ip_usage);
    sp->ip_usage = nullptr;
    sp->ip_usage_cap = 0;
    sp->n_ip_usage = 0;
}

void stat_emit()
{
    double now_real = veld_clock_real();
    double now_mono = veld_clock_mono();
    if (statst.last_emit != 0 && veld.usage_interval >= now_real - statst.last_emit)
        return;
    statst.last_emit = now_real;
    int nsess = 0, nentry = 0;
    for (sess *sp = sesst.sesslist_head; sp != nullptr; sp = sp->all_next) {
        sess_stat_flush(sp, &nentry, now_real, now_mono);
        nsess++;
    }
    VLOG("[INFO] Stat is written. (nsess %d, nentry %d)", nsess, nentry);
}
