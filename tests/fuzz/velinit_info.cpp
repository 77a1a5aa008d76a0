// velinit's answer parser on arbitrary settings bodies: the checks before any
// file is written. An accepted body has at least three fields, an address
// veld takes from its node files in fields 1 and 3 and a two-byte country.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "vas.h"
#include "velinit_info.h"
#include "vnode.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The messages go to standard output; keep the run's log readable.
    AN(std::freopen("/dev/null", "w", stdout));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    char *f[VELINIT_MAXFIELDS];
    int n = checkInfo(text.data(), f);
    if (n < 0)
        return 0;
    VAS_ASSERT(n >= 3 && n <= VELINIT_MAXFIELDS);
    for (int i = 0; i < n; i++)
        VAS_ASSERT(f[i] >= text.data() && f[i] < text.data() + text.size() && *f[i] != '\0');
    VAS_ASSERT(VNODE_ParseIPv4(f[0], nullptr) && VNODE_ParseIPv4(f[2], nullptr));
    VAS_ASSERT(std::strlen(f[1]) == 2);
    VAS_ASSERT(std::strpbrk(f[0], " \t\n;") == nullptr);
    return 0;
}
