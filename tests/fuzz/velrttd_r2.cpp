// The reserved-node reader on arbitrary answers from veltalkd: lines cut the
// way the socket reader cuts them, fed until the end line or a bad line. Every
// record kept must be reportable whole, with unique nums and distinct backends.
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "vas.h"
#include "velrttd_list.h"
#include "vlog.h"

namespace
{
void quiet(int, const char *) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    VLOG_SetSink(quiet);
    rtt.verbose = 2;
    const char *p = reinterpret_cast<const char *>(data);
    const char *end = p + size;
    char line[RTT_LINE_SIZE];
    while (p < end) {
        // As MNE_readline: up to a line feed, at most RTT_LINE_SIZE - 2 bytes
        // before it; a longer line or a missing line feed ends the read.
        const char *lf = static_cast<const char *>(std::memchr(p, '\n', end - p));
        if (lf == nullptr)
            break;
        size_t len = lf - p + 1;
        if (len > RTT_LINE_SIZE - 1)
            break;
        std::memcpy(line, p, len);
        line[len] = '\0';
        p += len;
        r2_line r = handle_R2_line(line, len);
        if (r != r2_line::more)
            break;
    }

    std::set<std::string> nums;
    std::set<std::tuple<std::string, std::string, int, std::string>> keys;
    for (const backend &be : rtt.backends) {
        VAS_ASSERT(be.port >= 1 && be.port <= 65535);
        VAS_ASSERT(keys.emplace(be.family, be.ip, be.port, be.protocol).second);
    }
    char buf[RTT_LINE_SIZE];
    for (const reservednode &rn : rtt.nodes) {
        VAS_ASSERT(nums.insert(rn.num).second);
        for (double t : {-1.0, 3000.123456, -DBL_MAX, DBL_MAX}) {
            rn.be->rtt = t;
            int n = RU_format(buf, sizeof buf, &rn);
            VAS_ASSERT(n > 0 && buf[n - 1] == '\n');
        }
    }
    // The indexes that make the checks linear name exactly what the lists hold.
    VAS_ASSERT(rtt.nums.size() == rtt.nodes.size());
    VAS_ASSERT(rtt.by_endpoint.size() == rtt.backends.size());
    rtt_free_all();
    VAS_ASSERT(rtt.nums.empty() && rtt.by_endpoint.empty());
    return 0;
}
