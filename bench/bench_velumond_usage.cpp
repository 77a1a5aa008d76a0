// Usage monitor throughput.
//
// Workloads:
//  - ParseAggregate: a day file of 2,000 clients (MAC and address each) that each talked to 50
//    remote addresses, plus their transport and U records, 104,000 lines; every line goes
//    through parseLine into the per-client sums. Baseline in the same run (SplitOnly): the same
//    lines only split into their pieces, the least any parser must do. Counter "ratio" is
//    parse time / split time.
//  - GeoLoad: a country table of 200,000 ranges of which 3,000 belong to the node country,
//    loaded from a CSV file; counters give the ranges kept and the heap bytes they take.
//  - GeoLookup: random addresses looked up in the loaded table, and (baseline, same run) in a
//    sorted vector of the same ranges by binary search; counter "ratio" is tree / vector time.
//
// Run: BUILD/bench/bench_velumond_usage [--benchmark_filter=Geo]
#include <benchmark/benchmark.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <malloc.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "velumond_geo.h"
#include "velumond_split.h"
#include "velumond_usage.h"
#include "vlog.h"

namespace
{

constexpr int kClients = 2000;
constexpr int kRemotes = 50;
constexpr int kRanges = 200000;
constexpr int kLocalRanges = 3000;

void quiet(int, const char *) {}

std::string ipstr(uint32_t host_order)
{
    in_addr a{htonl(host_order)};
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

struct range {
    uint32_t start, end;
    bool local;
};

// 200,000 adjacent ranges over the address space; every ~67th one is the node's.
const std::vector<range> &ranges()
{
    static std::vector<range> r = [] {
        std::vector<range> v;
        v.reserve(kRanges);
        uint32_t step = (uint32_t)(0xFFFFFF00u / kRanges);
        for (int i = 0; i < kRanges; i++) {
            uint32_t s = 0x01000000u + (uint32_t)i * step;
            v.push_back({s, s + step - 1, i % (kRanges / kLocalRanges) == 0});
        }
        return v;
    }();
    return r;
}

// Writes the country table and the node country file once; loads them.
struct geo_files {
    std::string dir, country, csv;
    geo_files()
    {
        char tmpl[] = "/tmp/bench_velumond.XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            std::abort();
        dir = tmpl;
        country = dir + "/country";
        csv = dir + "/GeoIPCountryWhois.csv";
        FILE *c = std::fopen(country.c_str(), "w");
        std::fputs("KR\n", c);
        std::fclose(c);
        FILE *f = std::fopen(csv.c_str(), "w");
        for (const range &r : ranges())
            std::fprintf(f, "\"%s\",\"%s\",\"%u\",\"%u\",\"%s\",\"%s\"\n", ipstr(r.start).c_str(),
                         ipstr(r.end).c_str(), r.start, r.end, r.local ? "KR" : "US",
                         r.local ? "Korea, Republic of" : "United States");
        std::fclose(f);
    }
    ~geo_files()
    {
        unlink(country.c_str());
        unlink(csv.c_str());
        rmdir(dir.c_str());
    }
};
geo_files &files()
{
    static geo_files g;
    return g;
}

void load_table()
{
    GEO_Reset();
    VLOG_SetSink(quiet);
    if (geo_load_from(files().country.c_str(), files().csv.c_str()) != 0)
        std::abort();
}

// The day file: for each client its transport record, one U record and one
// record per remote address (a quarter of them in the node's country).
const std::vector<std::string> &day_lines()
{
    static std::vector<std::string> lines = [] {
        std::vector<std::string> v;
        std::mt19937 rng(7);
        const auto &rs = ranges();
        const char *stamp = "Tue, 08 Dec 2026 10:00:00 GMT";
        for (int c = 0; c < kClients; c++) {
            char mac[24], host[24];
            std::snprintf(mac, sizeof mac, "02:00:00:%02x:%02x:%02x", c >> 16, (c >> 8) & 0xff,
                          c & 0xff);
            std::snprintf(host, sizeof host, "100.64.%d.%d", c / 250, c % 250 + 1);
            char line[512];
            std::snprintf(line, sizeof line, "%s;1796724000.00;5000.00;%s;40001;%s;K;%s;%u;%u;D\n",
                          stamp, host, mac, host, 100000 + c, 90000 + c);
            v.push_back(line);
            std::snprintf(line, sizeof line, "%s;1796724000.00;5000.00;%s;40001;%s;U;-;%u;%u;D\n",
                          stamp, host, mac, 420 + c, 0);
            v.push_back(line);
            for (int k = 0; k < kRemotes; k++) {
                const range &r = rs[rng() % rs.size()];
                uint32_t a = r.start + rng() % (r.end - r.start + 1);
                if (k % 4 == 0) { // a local one
                    const range &l = rs[(rng() % kLocalRanges) * (kRanges / kLocalRanges)];
                    a = l.start + rng() % (l.end - l.start + 1);
                }
                std::snprintf(line, sizeof line,
                              "%s;1796724000.00;5000.00;%s;40001;%s;K;%s;%u;%u;D\n", stamp, host,
                              mac, ipstr(a).c_str(), (unsigned)(rng() % 100000),
                              (unsigned)(rng() % 100000));
                v.push_back(line);
            }
        }
        return v;
    }();
    return lines;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void BM_ParseAggregate(benchmark::State &state)
{
    load_table();
    const auto &lines = day_lines();
    std::vector<char> buf(1024);
    char *p[UMON_MAXPIECES];
    double parse_s = 0, split_s = 0;
    for (auto _ : state) {
        UMON_Reset();
        auto t0 = std::chrono::steady_clock::now();
        for (const std::string &l : lines) {
            std::memcpy(buf.data(), l.c_str(), l.size() + 1);
            benchmark::DoNotOptimize(parseLine(buf.data()));
        }
        parse_s += seconds_since(t0);

        state.PauseTiming();
        t0 = std::chrono::steady_clock::now();
        for (const std::string &l : lines) {
            std::memcpy(buf.data(), l.c_str(), l.size() + 1);
            benchmark::DoNotOptimize(umon_split(buf.data(), ";", p, UMON_MAXPIECES));
        }
        split_s += seconds_since(t0);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * (int64_t)lines.size());
    state.counters["entries"] = (double)umon_list().size();
    state.counters["split_lines_per_s"] = (double)state.iterations() * lines.size() / split_s;
    state.counters["ratio"] = parse_s / split_s;
    UMON_Reset();
}
BENCHMARK(BM_ParseAggregate)->Unit(benchmark::kMillisecond);

void BM_GeoLoad(benchmark::State &state)
{
    files();
    VLOG_SetSink(quiet);
    size_t heap = 0;
    for (auto _ : state) {
        GEO_Reset();
        size_t before = mallinfo2().uordblks;
        if (geo_load_from(files().country.c_str(), files().csv.c_str()) != 0)
            std::abort();
        heap = mallinfo2().uordblks - before;
    }
    state.counters["ranges_read"] = kRanges;
    state.counters["ranges_kept"] = (double)GEO_nranges();
    state.counters["heap_bytes"] = (double)heap;
    state.counters["bytes_per_range"] = (double)heap / (double)GEO_nranges();
}
BENCHMARK(BM_GeoLoad)->Unit(benchmark::kMillisecond);

void BM_GeoLookup(benchmark::State &state)
{
    load_table();
    std::vector<std::pair<uint32_t, uint32_t>> sorted;
    for (const range &r : ranges())
        if (r.local)
            sorted.push_back({r.start, r.end});
    std::sort(sorted.begin(), sorted.end());

    std::mt19937 rng(11);
    std::vector<uint32_t> keys(1 << 16);
    for (uint32_t &k : keys)
        k = (uint32_t)rng();

    double tree_s = 0, vec_s = 0;
    long hits_tree = 0, hits_vec = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (uint32_t k : keys)
            hits_tree += GEO_islocal_addr(k);
        tree_s += seconds_since(t0);

        state.PauseTiming();
        t0 = std::chrono::steady_clock::now();
        for (uint32_t k : keys) {
            auto it = std::upper_bound(sorted.begin(), sorted.end(), k,
                                       [](uint32_t x, const auto &r) { return x < r.first; });
            hits_vec += it != sorted.begin() && k <= std::prev(it)->second;
        }
        vec_s += seconds_since(t0);
        state.ResumeTiming();
    }
    if (hits_tree != hits_vec)
        state.SkipWithError("tree and sorted vector disagree");
    state.SetItemsProcessed(state.iterations() * (int64_t)keys.size());
    state.counters["vector_lookups_per_s"] = (double)state.iterations() * keys.size() / vec_s;
    state.counters["ratio"] = tree_s / vec_s;
}
BENCHMARK(BM_GeoLookup);

} // namespace

BENCHMARK_MAIN();
