#include "vtim.h"

#include <cmath>
#include <cstring>

#include "vas.h"

double VTIM_mono(void)
{
    struct timespec ts;

    VAS_ASSERT_TEXT(clock_gettime(CLOCK_MONOTONIC, &ts) == 0, "clock_gettime(1, &ts) == 0");
    return (ts.tv_sec + 1e-9 * ts.tv_nsec);
}

double VTIM_real(void)
{
    struct timespec ts;

    VAS_ASSERT_TEXT(clock_gettime(CLOCK_REALTIME, &ts) == 0, "clock_gettime(0, &ts) == 0");
    return (ts.tv_sec + 1e-9 * ts.tv_nsec);
}

void VTIM_print(char *buf, const char *fmt, double t)
{
    struct tm tm;
    time_t tt;

    AN(buf);
    buf[0] = '\0';
    // Out of time_t's range the cast is undefined; such a time has no date.
    if (!std::isfinite(t) || t <= -9.2e18 || t >= 9.2e18)
        return;
    tt = (time_t)t;
    if (gmtime_r(&tt, &tm) == nullptr)
        return;
    // strftime leaves the buffer undefined when the text does not fit.
    if (strftime(buf, VTIM_PRINT_SIZE, fmt, &tm) == 0)
        buf[0] = '\0';
}

double VTIM_scan(const char *text)
{
    static const char *const fmts[] = {
        "%a, %d %b %Y %T GMT", // RFC 1123
        "%A, %d-%b-%y %T GMT", // RFC 850
        "%a %b %d %T %Y",      // asctime
        "%F %T",               // ISO date and time
    };
    struct tm tm;

    if (text == nullptr)
        return (0);
    for (const char *fmt : fmts) {
        memset(&tm, 0, sizeof tm);
        if (strptime(text, fmt, &tm) != nullptr) {
            tm.tm_isdst = -1;
            return ((double)timegm(&tm));
        }
    }
    return (0);
}

void VTIM_format(time_t t, char *buf)
{
    struct tm tm;
    size_t n;

    AN(buf);
    AN(gmtime_r(&t, &tm));
    n = strftime(buf, VTIM_FORMAT_SIZE, "%a, %d %b %Y %T GMT", &tm);
    VAS_ASSERT(n > 0);
}
