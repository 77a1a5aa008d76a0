// A response description as a request's header carries it: tokenized, then
// built into a response. Either it is refused, or the response starts with
// its status line and ends its header block with an empty line; built for
// sending (a generated body left to be made piece by piece), its header and
// the pieces give exactly the same bytes, and the buffer holds no more than
// the description itself could.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vas.h"
#include "velhttpd_resp.h"
#include "vlog.h"
#include "vsb.h"

namespace
{
void quiet(int, const char *) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    VLOG_SetSink(quiet);
    std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> tokens;
    const char *err = nullptr;
    int n = parse_string(text.c_str(), &tokens, &err);
    if (n < 0) {
        VAS_ASSERT(err != nullptr);
        return 0;
    }
    VAS_ASSERT(static_cast<size_t>(n) == tokens.size() && tokens.size() <= HTTP_TOKENS_MAX);
    struct vsb *vsb = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    VAS_ASSERT(vsb != nullptr);
    struct vsb *head = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    VAS_ASSERT(head != nullptr);
    size_t synthlen = 0;
    int r1 = httpd_txresp_build(tokens, vsb, &err);
    int r2 = httpd_txresp_build(tokens, head, &err, &synthlen);
    VAS_ASSERT(r1 == r2);
    if (r1 == 0) {
        VAS_ASSERT(VSB_finish(vsb) == 0);
        VAS_ASSERT(VSB_finish(head) == 0);
        std::string r(VSB_data(vsb), static_cast<size_t>(VSB_len(vsb)));
        // The status line, then header lines, each with CR LF, then an empty line.
        VAS_ASSERT(r.find("\r\n\r\n") != std::string::npos);
        std::string h(VSB_data(head), static_cast<size_t>(VSB_len(head)));
        VAS_ASSERT(h.size() <= 2 * size + 64);
        VAS_ASSERT(h.size() + synthlen == r.size() && r.compare(0, h.size(), h) == 0);
        std::string piece(4093, '\0');
        for (size_t off = 0; off < synthlen; off += piece.size()) {
            size_t n = std::min(piece.size(), synthlen - off);
            synth_fill(piece.data(), off, n, synthlen);
            VAS_ASSERT(r.compare(h.size() + off, n, piece, 0, n) == 0);
        }
    } else {
        VAS_ASSERT(err != nullptr);
    }
    VSB_delete(head);
    VSB_delete(vsb);
    return 0;
}
