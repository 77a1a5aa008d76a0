#include "velumond_geo.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <set>
#include <unistd.h>

#include "vas.h"
#include "vlog.h"
#include "velumond_split.h"

namespace
{

// One range of the node's country, both ends inclusive, host byte order.
struct geo_range {
    uint32_t start;
    uint32_t end;
};

// Overlapping ranges compare equal, so a lookup key [x, x] finds the range
// holding x and an insert that overlaps a stored range is refused.
struct geo_cmp {
    bool operator()(const geo_range &a, const geo_range &b) const { return a.end < b.start; }
};

struct geo_state {
    std::set<geo_range, geo_cmp> tree; // red-black tree, never rebuilt while running
    unsigned count = 0;
    char *country = nullptr; // text of the country file; only [0..1] matter
};
geo_state geo;

// Dotted address to host order; INADDR_NONE (also for 255.255.255.255) fails.
bool geo_addr(const char *text, uint32_t *out)
{
    in_addr_t a = inet_addr(text);
    if (a == INADDR_NONE)
        return false;
    *out = ntohl(a);
    return true;
}

// First two characters equal; stops at a NUL so a one-byte country text is
// never read past its end.
bool geo_same_country(const char *code, const char *country)
{
    return std::strncmp(code, country, 2) == 0;
}

} // namespace

char *geo_readcountry_from(const char *path)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0) {
        VLOG("[ERROR] Failed to open %s: %d %s", path, errno, std::strerror(errno));
        return nullptr;
    }
    char buf[GEO_LINE_MAX + 1];
    ssize_t n = read(fd, buf, GEO_LINE_MAX);
    int err = errno;
    close(fd);
    if (n <= 0) {
        if (n == 0)
            err = 0;
        VLOG("[ERROR] Failed to read country: %d %s", err, std::strerror(err));
        return nullptr;
    }
    buf[n] = '\0';
    char *copy = strdup(buf);
    if (copy == nullptr) {
        VLOG("[ERROR] Failed to read GEO country infro");
        return nullptr;
    }
    return copy;
}

char *geo_readcountry()
{
    char *c = geo_readcountry_from(GEO_COUNTRY_PATH);
    if (c == nullptr)
        std::exit(1);
    return c;
}

int geo_load_from(const char *country_path, const char *csv_path)
{
    char *country = geo_readcountry_from(country_path);
    if (country == nullptr)
        return -1;
    std::free(geo.country);
    geo.country = country;

    std::unique_ptr<FILE, int (*)(FILE *)> fp(std::fopen(csv_path, "r"), std::fclose);
    if (!fp) {
        VLOG("[ERROR] Failed to open %s: %d %s", csv_path, errno, std::strerror(errno));
        return -1;
    }

    char line[GEO_LINE_MAX];
    char *pieces[UMON_MAXPIECES];
    int lineno = 0;
    while (std::fgets(line, sizeof line, fp.get()) != nullptr) {
        lineno++;
        int pn = umon_split(line, ",\"", pieces, UMON_MAXPIECES);
        if (pn >= 7) {
            if (!geo_same_country(pieces[4], geo.country))
                continue;
            geo_range r;
            // A range whose ends are swapped is as broken as an unreadable
            // address: in the tree it would hide the ranges it sits among.
            if (geo_addr(pieces[0], &r.start) && geo_addr(pieces[1], &r.end) && r.start <= r.end) {
                try {
                    geo.tree.insert(r); // an overlapping range loaded earlier wins
                } catch (const std::bad_alloc &) {
                    VLOG("[ERROR] Out of memory");
                    return -1;
                }
                geo.count++;
                continue;
            }
        }
        VLOG("[WARN] Wrong GEO information format at lineno %d (pn %d)", lineno, pn);
    }
    VLOG_At(LOG_INFO, "%d GeoCountry loaded.", (int)geo.count);
    return 0;
}

void geo_load()
{
    if (geo_load_from(GEO_COUNTRY_PATH, GEO_CSV_PATH) != 0)
        std::exit(1);
}

int GEO_islocal_addr(uint32_t addr)
{
    return geo.tree.find(geo_range{addr, addr}) != geo.tree.end() ? 1 : 0;
}

int GEO_islocal(const char *text)
{
    AN(text);
    uint32_t x;
    VAS_ASSERT_TEXT(geo_addr(text, &x), "inet_addr(text) != INADDR_NONE");
    return GEO_islocal_addr(x);
}

unsigned GEO_count()
{
    return geo.count;
}
size_t GEO_nranges()
{
    return geo.tree.size();
}

void GEO_Reset()
{
    geo.tree.clear();
    geo.count = 0;
    std::free(geo.country);
    geo.country = nullptr;
}
