#include "veld_state.h"

#include "vtim.h"

veld_state veld;

veld_clock_f veld_clock_real = VTIM_real;
veld_clock_f veld_clock_mono = VTIM_mono;

int64_t veld_now()
{
    return static_cast<int64_t>(veld_clock_real());
}

bool veld_ratelimit_ok(veld_ratelimit *rl, uint64_t *held)
{
    int64_t now = veld_now();
    if (rl->last != 0 && now - rl->last < VELD_WARN_INTERVAL && now >= rl->last) {
        rl->suppressed++;
        return false;
    }
    rl->last = now;
    *held = rl->suppressed;
    rl->suppressed = 0;
    return true;
}
