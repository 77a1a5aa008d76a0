// The GeoIP country table loaded from an arbitrary CSV file: the load ends,
// never stores more ranges than it counted, and lookups answer 0 or 1.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "vas.h"
#include "vlog.h"
#include "velumond_geo.h"

namespace
{
void quiet(int, const char *) {}
int csv_fd = -1;
std::string country_path, csv_path;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    VLOG_SetSink(quiet);
    int cfd = memfd_create("country", 0);
    VAS_ASSERT(cfd >= 0);
    VAS_ASSERT(write(cfd, "KR\n", 3) == 3);
    country_path = "/proc/self/fd/" + std::to_string(cfd);
    csv_fd = memfd_create("geo.csv", 0);
    VAS_ASSERT(csv_fd >= 0);
    csv_path = "/proc/self/fd/" + std::to_string(csv_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    AZ(ftruncate(csv_fd, 0));
    VAS_ASSERT(pwrite(csv_fd, data, size, 0) == static_cast<ssize_t>(size));
    GEO_Reset();
    AZ(geo_load_from(country_path.c_str(), csv_path.c_str()));
    VAS_ASSERT(GEO_nranges() <= GEO_count());
    // Probe a few addresses taken from the input.
    for (size_t i = 0; i + 4 <= size && i < 64; i += 4) {
        uint32_t a = static_cast<uint32_t>(data[i]) << 24 | data[i + 1] << 16 | data[i + 2] << 8 |
                     data[i + 3];
        int r = GEO_islocal_addr(a);
        VAS_ASSERT(r == 0 || r == 1);
    }
    return 0;
}
