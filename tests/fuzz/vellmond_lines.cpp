// The log monitor's line splitter and filters on arbitrary bytes: reads cut
// at arbitrary places give the same queued lines as one whole read, and
// every queued line is trimmed, free of line ends and NULs, and passed its
// filter.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "vas.h"
#include "vellmond_queue.h"
#include "vellmond_wat.h"

namespace
{

std::vector<std::string> run(wat_filter_f filter, size_t line_max, std::string_view text,
                             const std::vector<size_t> &cuts)
{
    RQ_clear();
    wat_watch *wl = WAT_detached(filter);
    wl->line_max = line_max;
    size_t at = 0;
    for (size_t cut : cuts) {
        if (cut < at || cut > text.size())
            continue;
        WAT_feed(wl, text.data() + at, cut - at);
        at = cut;
    }
    WAT_feed(wl, text.data() + at, text.size() - at);
    WAT_flush(wl);
    WAT_free(wl);
    std::vector<std::string> out;
    for (size_t i = 0; i < RQ_len(); i++)
        out.push_back(RQ_at(i));
    RQ_clear();
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3)
        return 0;
    wat_filter_f filter = (data[0] & 1) ? WAT_allFilter : WAT_errorFilter;
    // Small bounds make the cutting of overlong lines reachable.
    size_t line_max = (data[0] & 2) ? WAT_LINE_MAX : 1 + data[1] % 64;
    std::string_view text(reinterpret_cast<const char *>(data) + 2, size - 2);
    // Cut points from the text's own bytes, rising.
    std::vector<size_t> cuts;
    size_t at = 0;
    for (size_t i = 0; i < text.size() && cuts.size() < 16; i += 7) {
        at += static_cast<unsigned char>(text[i]) % 32;
        cuts.push_back(at);
    }

    std::vector<std::string> whole = run(filter, line_max, text, {});
    std::vector<std::string> cut = run(filter, line_max, text, cuts);
    VAS_ASSERT(whole == cut);
    for (const std::string &m : whole) {
        VAS_ASSERT(m.size() <= line_max);
        VAS_ASSERT(m.find('\n') == std::string::npos);
        VAS_ASSERT(m.find('\0') == std::string::npos);
        VAS_ASSERT(m.empty() || (m.back() != ' ' && m.back() != '\t' && m.back() != '\r'));
        VAS_ASSERT(filter == WAT_allFilter || WAT_errorFilter(m));
    }
    return 0;
}
