// The "/proc/net/dev" reader on arbitrary text: no read past the end, no
// abort on counters that do not convert, only the interface slots written.
#include <cstddef>
#include <cstdint>
#include <string>

#include "vas.h"
#include "velcrond_smon.h"
#include "vlog.h"

namespace
{
void quiet(int, const char *) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    VLOG_SetSink(quiet);
    std::string text(reinterpret_cast<const char *>(data), size);
    smon_sample s{};
    int n = smon_parse_net_dev(&s, text.c_str());
    VAS_ASSERT(n >= 0 && n <= 2);
    for (int i = 0; i < SMON_SLOTS; i++)
        if (i < SMON_ETH0 || i >= SMON_TAP0 + SMON_IF_COUNTERS)
            VAS_ASSERT(s.v[i] == 0);
    // an interface's slots come from its own line only
    const char *names[2] = {"eth0:", "tap0:"};
    for (int k = 0; k < 2; k++)
        if (text.find(names[k]) == std::string::npos)
            for (int i = 0; i < SMON_IF_COUNTERS; i++)
                VAS_ASSERT(s.v[SMON_ETH0 + k * SMON_IF_COUNTERS + i] == 0);
    return 0;
}
