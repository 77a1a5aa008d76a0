// VTIM_scan on arbitrary date texts: 0 or a whole number of seconds, and a
// date of the years 1970 to 9999 prints back to a text that scans the same.
// VTIM_print with any double keeps its buffer a NUL-terminated text.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "vas.h"
#include "vtim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    double t = VTIM_scan(text.c_str());
    VAS_ASSERT(std::isfinite(t) && t == std::floor(t));
    if (t > 0 && t < 253402300800.0) {
        char buf[VTIM_PRINT_SIZE];
        VTIM_print(buf, "%a, %d %b %Y %T GMT", t);
        VAS_ASSERT(VTIM_scan(buf) == t);
        VTIM_print(buf, "%F %T", t);
        VAS_ASSERT(VTIM_scan(buf) == t);
    }
    if (size >= sizeof(double)) {
        double d;
        std::memcpy(&d, data, sizeof d);
        char buf[VTIM_PRINT_SIZE + 1];
        buf[VTIM_PRINT_SIZE] = 'x';
        VTIM_print(buf, "%Y%m%d", d);
        VAS_ASSERT(buf[VTIM_PRINT_SIZE] == 'x' && std::strlen(buf) < VTIM_PRINT_SIZE);
    }
    return 0;
}
