// The tc output reader on arbitrary text: no read past the end, no abort on
// numbers that do not convert, only the two qdisc slots written.
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
    smon_parse_tc(&s, text.c_str());
    for (int i = 0; i < SMON_QDROP; i++)
        VAS_ASSERT(s.v[i] == 0);
    if (text.find("dropped") == std::string::npos)
        VAS_ASSERT(s.v[SMON_QDROP] == 0);
    return 0;
}
