#include "veld_sessrec.h"

#include <cstdlib>

#include "vas.h"
#include "veld_counters.h"
#include "vlog.h"

sess_table sesst;

usage *sess_ip_usage(sess *sp, uint32_t addr)
{
    CHECK_OBJ_NOTNULL(sp, 0x37f52bf3);
    for (int i = 0; i < sp->n_ip_usage; i++)
        if (sp->ip_usage[i].addr == addr)
            return &sp->ip_usage[i];
    if (sp->n_ip_usage >= SESS_IP_USAGE_MAX) {
        vcnt.refused_address_table++;
        VLOG("[ERROR] VELEC_00153: Too many IP address table from %s:%s\n", sp->hoststr,
             sp->portstr);
        return nullptr;
    }
    if (sp->n_ip_usage == sp->ip_usage_cap) {
        int cap = sp->ip_usage_cap == 0 ? SESS_IP_USAGE_FIRST : sp->ip_usage_cap * 2;
        if (cap > SESS_IP_USAGE_MAX)
            cap = SESS_IP_USAGE_MAX;
        auto *t = static_cast<usage *>(std::realloc(sp->ip_usage, cap * sizeof(usage)));
        VAS_ASSERT_TEXT(t != nullptr, "t != ((void *)0)");
        sp->ip_usage = t;
        sp->ip_usage_cap = cap;
    }
    usage *u = &sp->ip_usage[sp->n_ip_usage++];
    u->addr = addr;
    u->tx = 0;
    u->rx = 0;
    return u;
}
