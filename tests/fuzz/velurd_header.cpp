// The request header of a relayed datagram: a good header gives an IPv4
// destination taken from its bytes, anything else is refused.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>

#include "vas.h"
#include "velurd_relay.h"
#include "vlog.h"

namespace
{
void quiet(int, const char *) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    VLOG_SetSink(quiet);
    struct sockaddr_in dst;
    int r = urd_parse_header(data, size, &dst);
    if (size < URD_HDR_LEN) {
        VAS_ASSERT(r == -1);
        return 0;
    }
    bool good = data[0] == 0 && data[1] == 0 && data[2] == 0 && data[3] == 1;
    VAS_ASSERT(r == (good ? 0 : -2));
    if (r == 0) {
        VAS_ASSERT(dst.sin_family == AF_INET);
        VAS_ASSERT(std::memcmp(&dst.sin_addr, data + 4, 4) == 0);
        VAS_ASSERT(std::memcmp(&dst.sin_port, data + 8, 2) == 0);
    }
    return 0;
}
