// The request header of a relayed datagram: a good header gives an IPv4
// destination taken from its bytes, anything else is refused. A destination
// the relay must never reach (the node's loopback, "this network", multicast,
// the limited broadcast, port 0) is always refused, and however many bad
// datagrams arrive within one second, only a few lines are written.
#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>

#include "vas.h"
#include "velurd_relay.h"
#include "vlog.h"
#include "vrate.h"

namespace
{
int lines;
void count(int, const char *)
{
    lines++;
}
// The clock stands still: every input falls into the same second.
double frozen()
{
    return 1000;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    VLOG_SetSink(count);
    VRATE_SetClock(frozen);
    struct sockaddr_in dst;
    int r = urd_parse_header(data, size, &dst);
    VAS_ASSERT(lines <= VRATE_PER_SECOND);
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
        uint32_t a = ntohl(dst.sin_addr.s_addr);
        bool never = dst.sin_port == 0 || (a >> 24) == 0 || (a >> 24) == 127 || (a >> 28) == 0xe ||
                     a == 0xffffffffu;
        const char *why = urd_dest_refused(&dst);
        if (never)
            VAS_ASSERT(why != nullptr);
        else
            VAS_ASSERT(why == nullptr); // no node addresses are known here
    }
    return 0;
}
