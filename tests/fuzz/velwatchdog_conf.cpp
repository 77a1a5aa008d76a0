// The supervisor's configuration reader on arbitrary file text: it ends
// without exiting, and every entry it gives has a name, a program, at most the
// allowed number of arguments, and no word longer than a line.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "vas.h"
#include "velwatchdog_conf.h"
#include "vlog.h"

namespace
{
void quiet(int, const char *) {}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    VLOG_SetSink(quiet);
    std::FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (fp == nullptr)
        return 0;
    wat_conf_reader rd;
    WAT_ConfInit(&rd, fp, "fuzz.conf");
    wat_conf_entry e;
    int r;
    while ((r = WAT_ConfNext(&rd, &e)) == 1) {
        VAS_ASSERT(e.args.size() <= WAT_ARGS_MAX);
        VAS_ASSERT(e.name.size() <= WAT_LINE_MAX && e.program.size() <= WAT_LINE_MAX);
        for (const auto &a : e.args)
            VAS_ASSERT(a.size() <= WAT_LINE_MAX && a.find('\0') == std::string::npos);
    }
    VAS_ASSERT(r == 0 || r == -1);
    std::fclose(fp);
    return 0;
}
