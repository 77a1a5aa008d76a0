// velrttd's reading of the reserved-node list.
//
// Workload: one cycle's R2 lines, N reserved nodes (N = 10,000, 20,000, 40,000) over N / 4
// endpoints, each line also repeated once later (the repeat is skipped: the first line of a
// node wins), fed through handle_R2_line; the lists are freed after each cycle. Baseline in
// the same run (SplitOnly): the same lines only split into fields. Counter "ratio" is read
// time / split time; "ns_per_line" stays flat as N grows when the duplicate checks are
// linear, and doubles with N when each line is compared with every earlier one.
//
// Run: BUILD/bench/bench_velrttd_list
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "velrttd_list.h"
#include "vlog.h"

namespace
{

void quiet(int, const char *) {}

std::vector<std::string> lines(int n)
{
    std::vector<std::string> v;
    for (int pass = 0; pass < 2; pass++)
        for (int i = 0; i < n; i++)
            v.push_back("R2 node" + std::to_string(i) + " AF_INET 10." +
                        std::to_string(i / 4 % 250) + "." + std::to_string(i / 1000) + ".1 " +
                        std::to_string(1000 + i % 4) + (i % 2 ? " TCP" : " UDP"));
    return v;
}

double split_ns(const std::vector<std::string> &in)
{
    auto t0 = std::chrono::steady_clock::now();
    char *av[RTT_MAX_FIELDS];
    for (const std::string &l : in) {
        std::string copy = l;
        benchmark::DoNotOptimize(rtt_split(copy.data(), av, RTT_MAX_FIELDS));
    }
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
}

void ReadList(benchmark::State &state)
{
    VLOG_SetSink(quiet);
    const std::vector<std::string> in = lines(static_cast<int>(state.range(0)));
    double read = 0, split = 0;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        for (const std::string &l : in) {
            std::string copy = l;
            handle_R2_line(copy.data(), copy.size());
        }
        read +=
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
        if (rtt.nodes.size() != static_cast<size_t>(state.range(0)))
            state.SkipWithError("wrong node count");
        rtt_free_all();
        split += split_ns(in);
    }
    state.counters["ratio"] = read / split;
    state.counters["ns_per_line"] = read / state.iterations() / static_cast<double>(in.size());
    VLOG_SetSink(nullptr);
}

} // namespace

BENCHMARK(ReadList)->Arg(10000)->Arg(20000)->Arg(40000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
