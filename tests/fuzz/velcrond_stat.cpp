// The "/proc/stat" reader on arbitrary text: no read past the end, slots
// outside its own untouched.
#include <cstddef>
#include <cstdint>
#include <string>

#include "vas.h"
#include "velcrond_smon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    smon_sample s{};
    smon_parse_stat(&s, text.c_str());
    for (int i : {0, 1, 2, 3})
        VAS_ASSERT(s.v[i] == 0);
    for (int i = SMON_ETH0; i < SMON_SLOTS; i++)
        VAS_ASSERT(s.v[i] == 0);
    return 0;
}
