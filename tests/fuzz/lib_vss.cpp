// VSS_parse on arbitrary address texts: host and port are copies of pieces of
// the text, and only a broken bracketed form is refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vas.h"
#include "vss.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    const char *s = text.c_str();
    char *addr = reinterpret_cast<char *>(1), *port = reinterpret_cast<char *>(1);
    int r = VSS_parse(s, &addr, &port);
    if (r == 0) {
        VAS_ASSERT(addr == nullptr || std::strstr(s, addr) != nullptr);
        VAS_ASSERT(port == nullptr || std::strstr(s, port) != nullptr);
        VAS_ASSERT(addr != nullptr || port != nullptr);
        if (s[0] == '[')
            VAS_ASSERT(addr != nullptr && std::strlen(addr) > 0);
    } else {
        VAS_ASSERT(r == -1 && s[0] == '[');
        VAS_ASSERT(addr == nullptr && port == nullptr);
    }
    std::free(addr);
    std::free(port);
    return 0;
}
