// VAV_Parse under every flag combination, and the backslash decoders, on
// arbitrary text: no read past the NUL, no leak, a sound vector or an error.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cstdlib>
#include <string>

#include "vas.h"
#include "vav.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    int flag = data[0] & 7;
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    int argc = 0;
    char **av = VAV_Parse(text.c_str(), &argc, flag);
    if (av != nullptr) {
        if (av[0] == nullptr) {
            for (int i = 1; i < argc; i++)
                VAS_ASSERT(av[i] != nullptr);
            VAS_ASSERT(av[argc] == nullptr);
        }
        VAV_Release(av);
    }
    for (const char *p = text.c_str(); (p = strchr(p, '\\')) != nullptr; p++) {
        char c;
        int n = VAV_BackSlash(p, &c);
        VAS_ASSERT(n >= 0 && static_cast<size_t>(n) <= strlen(p));
    }
    free(VAV_BackSlashDecode(text.c_str(), nullptr));
    return 0;
}
