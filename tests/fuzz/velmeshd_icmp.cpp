// The echo-reply parser on arbitrary packets as the raw socket hands them
// over: no read beyond what arrived, and a round trip only for our own echo
// with a send time before now.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/time.h>

#include "vas.h"
#include "velmeshd_rtt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 10)
        return 0;
    // Identifier and receive time come from the input's first bytes.
    uint16_t ident = static_cast<uint16_t>(data[0] << 8 | data[1]);
    int64_t sec;
    std::memcpy(&sec, data + 2, 8);
    struct timeval now = {static_cast<time_t>(sec & 0xffffffffff), 500000};
    data += 10;
    size -= 10;
    // An exact-size copy, so that any read past the end is caught.
    uint8_t *pkt = new uint8_t[size > 0 ? size : 1];
    if (size > 0)
        std::memcpy(pkt, data, size);
    int ms = 12345;
    rtt_reply r = rtt_icmp_parse(size > 0 ? pkt : nullptr, size, ident, now, &ms);
    if (r == rtt_reply::ok)
        VAS_ASSERT(ms >= 0);
    else
        VAS_ASSERT(ms == -1);
    delete[] pkt;
    return 0;
}
