// The string buffer's quoting and unquoting: whatever VSB_add_quoted makes of
// a byte string, VSB_add_unquoted turns back into that string; arbitrary text
// to VSB_add_unquoted and a fixed buffer running full fail cleanly.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "vas.h"
#include "vsb.h"

namespace
{

std::string finished(struct vsb *s)
{
    AZ(VSB_finish(s));
    return std::string(VSB_data(s), static_cast<size_t>(VSB_len(s)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    unsigned mode = data[0];
    const char *p = reinterpret_cast<const char *>(data) + 1;
    ssize_t len = static_cast<ssize_t>(size - 1);

    // Round trip.
    struct vsb *q = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    AN(q);
    VSB_add_quoted(q, p, len, 0);
    std::string quoted = finished(q);
    VSB_delete(q);
    std::string inner = quoted;
    if (!quoted.empty() && quoted[0] == '"') {
        VAS_ASSERT(quoted.size() >= 2 && quoted.back() == '"');
        inner = quoted.substr(1, quoted.size() - 2);
    } else {
        VAS_ASSERT(quoted == std::string(p, static_cast<size_t>(len)));
    }
    struct vsb *u = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    AN(u);
    VAS_ASSERT(VSB_add_unquoted(u, inner.data(), static_cast<ssize_t>(inner.size()), 0) == nullptr);
    VAS_ASSERT(finished(u) == std::string(p, static_cast<size_t>(len)));
    VSB_delete(u);

    // Arbitrary escapes: decoded or refused with a reason.
    struct vsb *a = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    AN(a);
    const char *err = VSB_add_unquoted(a, p, len, 0);
    VAS_ASSERT(err == nullptr || std::strlen(err) > 0);
    std::string decoded = finished(a);
    VAS_ASSERT(decoded.size() <= static_cast<size_t>(len));
    VSB_delete(a);

    // A fixed buffer: either all of it fits or the error is latched.
    char buf[64];
    struct vsb fixed;
    AN(VSB_new(&fixed, buf, 16 + (mode % 48), 0));
    VSB_add_quoted(&fixed, p, len, 0);
    int r = VSB_finish(&fixed);
    if (r == 0)
        VAS_ASSERT(std::string(VSB_data(&fixed), static_cast<size_t>(VSB_len(&fixed))) == quoted);
    else
        VAS_ASSERT(VSB_len(&fixed) == -1);
    VSB_delete(&fixed);
    return 0;
}
