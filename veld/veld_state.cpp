#include "veld_state.h"

#include "vtim.h"

veld_state veld;

veld_clock_f veld_clock_real = VTIM_real;
veld_clock_f veld_clock_mono = VTIM_mono;

int64_t veld_now()
{
    return static_cast<int64_t>(veld_clock_real());
}
