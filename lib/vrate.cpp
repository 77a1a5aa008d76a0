#include "vrate.h"

#include <cstdarg>
#include <cstdint>
#include <syslog.h>

#include "vlog.h"
#include "vtim.h"

namespace
{
double (*vrate_clock)() = VTIM_mono;

const char *vrate_tag(int priority)
{
    switch (priority) {
    case LOG_EMERG:
    case LOG_ALERT:
    case LOG_CRIT:
        return "[CRIT]";
    case LOG_ERR:
        return "[ERROR]";
    case LOG_WARNING:
        return "[WARN]";
    default:
        return "[INFO]";
    }
}

// Under rl->mtx: writes the summary of held lines and starts counting again.
void vrate_summary(vrate *rl)
{
    if (rl->held == 0)
        return;
    VLOG_At(rl->held_priority, "%s %s: %ju more lines not logged", vrate_tag(rl->held_priority),
            rl->name, static_cast<uintmax_t>(rl->held));
    rl->held = 0;
}

// Under rl->mtx: true when a line of this priority may be written now.
bool vrate_allow(vrate *rl, int priority)
{
    double now = vrate_clock();
    if (rl->window < 0 || now - rl->window >= 1.0 || now < rl->window) {
        rl->window = now;
        rl->used = 0;
        vrate_summary(rl);
    }
    if (rl->used < rl->per_second) {
        rl->used++;
        return true;
    }
    if (rl->held == 0 || priority < rl->held_priority)
        rl->held_priority = priority;
    rl->held++;
    return false;
}

void vrate_va(vrate *rl, int priority, const char *fmt, va_list ap)
{
    std::lock_guard<std::mutex> lock(rl->mtx);
    if (vrate_allow(rl, priority))
        VLOG_Va(priority, fmt, ap);
}
} // namespace

void VRATE_Log(vrate *rl, const char *fmt, ...)
{
    int priority = VLOG_Priority(fmt);
    if (priority < 0)
        priority = LOG_INFO;
    va_list ap;
    va_start(ap, fmt);
    vrate_va(rl, priority, fmt, ap);
    va_end(ap);
}

void VRATE_LogAt(vrate *rl, int priority, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vrate_va(rl, priority, fmt, ap);
    va_end(ap);
}

void VRATE_Flush(vrate *rl)
{
    std::lock_guard<std::mutex> lock(rl->mtx);
    double now = vrate_clock();
    if (rl->held == 0 || (now - rl->window < 1.0 && now >= rl->window))
        return;
    // The second is over: the next line starts a fresh one anyway.
    rl->window = now;
    rl->used = 0;
    vrate_summary(rl);
}

uint64_t VRATE_Held(vrate *rl)
{
    std::lock_guard<std::mutex> lock(rl->mtx);
    return rl->held;
}

void VRATE_Reset(vrate *rl)
{
    std::lock_guard<std::mutex> lock(rl->mtx);
    rl->window = -1;
    rl->used = 0;
    rl->held = 0;
}

void VRATE_SetClock(double (*clock)())
{
    vrate_clock = clock != nullptr ? clock : VTIM_mono;
}
