// parseLine on arbitrary daily-file lines, then the report lines of what was
// summed: a line is counted or dropped, the watermark never goes back, every
// sum prints as a report line below its bound.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "vas.h"
#include "vlog.h"
#include "vsb.h"
#include "velumond_geo.h"
#include "velumond_usage.h"

namespace
{
void quiet(int, const char *) {}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    VLOG_SetSink(quiet);
    // A node in KR owning 1.11.0.0/16, as the unit tests use.
    char dir[] = "/tmp/fuzz_parseline.XXXXXX";
    AN(mkdtemp(dir));
    std::string country = std::string(dir) + "/country", csv = std::string(dir) + "/geo.csv";
    FILE *f = std::fopen(country.c_str(), "w");
    AN(f);
    std::fputs("KR\n", f);
    std::fclose(f);
    f = std::fopen(csv.c_str(), "w");
    AN(f);
    std::fputs("\"1.11.0.0\",\"1.11.255.255\",\"17498112\",\"17563647\",\"KR\",\"Korea\"\n", f);
    std::fclose(f);
    AZ(geo_load_from(country.c_str(), csv.c_str()));
    unlink(country.c_str());
    unlink(csv.c_str());
    rmdir(dir);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    UMON_Reset();
    // Lines as the main thread reads them: one per newline.
    std::string text(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    int64_t mark = umon_watermark();
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        std::vector<char> line(text.begin() + start, text.begin() + end);
        line.push_back('\0');
        int r = parseLine(line.data());
        VAS_ASSERT(r == 0 || r == -1);
        VAS_ASSERT(umon_watermark() >= mark);
        mark = umon_watermark();
        start = end;
    }
    char out[UMON_TEXT_MAX];
    for (const res &r : umon_list()) {
        int n = umon_format_res(r, out, sizeof out);
        VAS_ASSERT(n > 0 && static_cast<size_t>(n) < sizeof out);
    }
    struct vsb *body = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    AN(body);
    umon_fill_body(body, nullptr);
    AZ(VSB_finish(body));
    VSB_delete(body);
    return 0;
}
