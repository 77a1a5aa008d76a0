// splitResponse on arbitrary answers as the report client keeps them (at most
// RC_ANSWER_MAX bytes, NUL-terminated): every piece it hands out lies inside
// the buffer, and a split answer has its protocol and status.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "report_client.h"
#include "vas.h"
#include "vlog.h"

namespace
{
void quiet(int, const char *) {}
FILE *devnull;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    VLOG_SetSink(quiet);
    devnull = std::fopen("/dev/null", "w");
    AN(devnull);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static char buf[RC_ANSWER_MAX + 1];
    size_t len = size - 1 < RC_ANSWER_MAX ? size - 1 : RC_ANSWER_MAX;
    std::memcpy(buf, data + 1, len);
    buf[len] = '\0';
    size_t textlen = std::strlen(buf);
    char *body = nullptr;
    char *arr[RC_SPLIT_MAX];
    int r = splitResponse(buf, &body, arr, (data[0] & 1) ? devnull : nullptr);
    auto inside = [&](const char *p) { return p >= buf && p <= buf + textlen; };
    for (int i = 0; i < RC_SPLIT_MAX; i++)
        VAS_ASSERT(arr[i] == nullptr || inside(arr[i]));
    if (r == 0) {
        VAS_ASSERT(arr[0] != nullptr && arr[1] != nullptr);
        VAS_ASSERT(body != nullptr && inside(body));
        (void)RC_Status(arr[1]);
    } else {
        VAS_ASSERT(r == -1);
    }
    return 0;
}
