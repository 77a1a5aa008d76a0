#include "veld_status.h"

#include <string>

#include "vas.h"
#include "veld_counters.h"
#include "veld_sess.h"
#include "veld_tcp.h"
#include "vstat.h"

veld_counters vcnt;

namespace
{
constexpr struct {
    uint32_t type;
    const char *name;
} TRANSPORTS[] = {{SESS_UDP, "udp"}, {SESS_TCP, "tcp"}, {SESS_ICMP, "icmp"}};

void set_per_transport(const char *what, const uint64_t (&v)[VELD_TRANSPORTS])
{
    for (const auto &t : TRANSPORTS)
        VSTAT_Set((std::string(what) + "_" + t.name + "_total").c_str(),
                  static_cast<double>(v[t.type]));
}
} // namespace

void veld_status_gather()
{
    uint64_t sessions[VELD_TRANSPORTS] = {};
    for (const sess *sp = sesst.sesslist_head; sp != nullptr; sp = sp->all_next) {
        CHECK_OBJ(sp, 0x37f52bf3);
        if (sp->type < VELD_TRANSPORTS)
            sessions[sp->type]++;
    }
    for (const auto &t : TRANSPORTS)
        VSTAT_Set((std::string("sessions_") + t.name).c_str(),
                  static_cast<double>(sessions[t.type]));
    VSTAT_Set("tcp_connections", static_cast<double>(tcpst.n_tcp));
    set_per_transport("frames_in", vcnt.frames_in);
    set_per_transport("bytes_in", vcnt.bytes_in);
    set_per_transport("frames_out", vcnt.frames_out);
    set_per_transport("bytes_out", vcnt.bytes_out);
    VSTAT_Set("broadcasts_total", static_cast<double>(vcnt.broadcasts));
    VSTAT_Set("broadcast_copies_total", static_cast<double>(vcnt.broadcast_copies));
    VSTAT_Set("refused_sessions_total", static_cast<double>(vcnt.refused_sessions_total));
    VSTAT_Set("refused_sessions_per_endpoint_total",
              static_cast<double>(vcnt.refused_sessions_endpoint));
    VSTAT_Set("refused_source_address_total", static_cast<double>(vcnt.refused_source_address));
    VSTAT_Set("refused_address_table_total", static_cast<double>(vcnt.refused_address_table));
    VSTAT_Set("refused_tcp_write_queue_total", static_cast<double>(vcnt.refused_tcp_queue));
    VSTAT_Set("refused_tcp_descriptor_total", static_cast<double>(vcnt.refused_tcp_descriptor));
    // Counted by the session table itself.
    VSTAT_Set("refused_broadcast_budget_total", static_cast<double>(sesst.bcast_over));
}

void veld_status_tick()
{
    static bool registered = false;
    if (!registered) {
        VSTAT_Gatherer(veld_status_gather);
        registered = true;
    }
    VSTAT_Publish();
}
