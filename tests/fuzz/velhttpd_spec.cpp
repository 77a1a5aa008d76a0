// A response description as a request's header carries it: tokenized, then
// built into a response. Either it is refused, or the response starts with
// its status line and ends its header block with an empty line.
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
    if (httpd_txresp_build(tokens, vsb, &err) == 0) {
        VAS_ASSERT(VSB_finish(vsb) == 0);
        std::string r(VSB_data(vsb), static_cast<size_t>(VSB_len(vsb)));
        // The status line, then header lines, each with CR LF, then an empty line.
        VAS_ASSERT(r.find("\r\n\r\n") != std::string::npos);
    } else {
        VAS_ASSERT(err != nullptr);
    }
    VSB_delete(vsb);
    return 0;
}
