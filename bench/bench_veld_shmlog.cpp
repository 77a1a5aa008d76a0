// Throughput of the shared-memory log: records appended by veld's VSL, and
// records delivered by velumond's reader, each next to a plain memcpy of the
// same bytes into (or out of) the ring, timed in the same run.
//
// Workload: a typical usage record (a K record of a session, ~130 bytes) in
// a log of the default size (40 MiB ring, zero-filled, as veld makes it), in
// a temporary directory. The reader drains batches of 4096 records that the
// writer has just published.
//
// Run:  cmake --build build --target bench_veld_shmlog && build/bench/bench_veld_shmlog
// Counters: records_per_s (the code under test), memcpy_records_per_s (the
// baseline), cost_vs_memcpy (time of the code / time of the baseline; lower
// is better, 1.0 would be as cheap as copying the bytes).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "veld_shmlog.h"
#include "vsl.h"
#include "vsm.h"

namespace
{

using Clock = std::chrono::steady_clock;

#define K_FORMAT "%s;%.2f;%.2f;%s;%s;%s;K;%s;%zd;%zd;D"
#define K_ARGS                                                                                     \
    "Mon, 07 Dec 2026 13:43:53 GMT", 1796651033.0, 123456.78, "203.0.113.7", "51234",              \
        "02:00:5e:10:00:01", "198.51.100.23", static_cast<ssize_t>(123456),                        \
        static_cast<ssize_t>(654321)

// One writer per process: the file is built once, in a directory of its own.
struct LogFile {
    std::string dir;
    LogFile()
    {
        char tmpl[] = "/tmp/bench_shmlog.XXXXXX";
        if (mkdtemp(tmpl) == nullptr || chdir(tmpl) != 0)
            abort();
        dir = tmpl;
        SHM_Init(nullptr);
        VSL_Init();
    }
    ~LogFile() { std::filesystem::remove_all(dir); }
};

LogFile &logfile()
{
    static LogFile lf;
    return lf;
}

std::string k_record()
{
    char buf[VSL_MAX_RECORD + 1];
    int n = snprintf(buf, sizeof buf, K_FORMAT, K_ARGS);
    return std::string(buf, static_cast<size_t>(n));
}

// Baseline: copy n records of the given bytes into the ring, as a writer
// that needed no formatting, header or fences would.
double memcpy_into_ring(const std::string &rec, int64_t n)
{
    uint8_t *start = reinterpret_cast<uint8_t *>(shm.vsl_start + 1);
    uint8_t *end = reinterpret_cast<uint8_t *>(shm.vsl_end);
    const size_t step = VSL_BYTES(static_cast<uint32_t>(rec.size()));
    // A scratch region of the mapping's size elsewhere, so the log stays valid.
    static std::string ring(static_cast<size_t>(end - start), '\0');
    uint8_t *p = reinterpret_cast<uint8_t *>(ring.data());
    uint8_t *e = p + ring.size();
    auto t0 = Clock::now();
    for (int64_t i = 0; i < n; i++) {
        if (p + step >= e)
            p = reinterpret_cast<uint8_t *>(ring.data());
        memcpy(p + VSL_HDR, rec.data(), rec.size());
        p += step;
    }
    benchmark::ClobberMemory();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void report(benchmark::State &state, double secs, double base_secs, int64_t records)
{
    state.counters["records_per_s"] = static_cast<double>(records) / secs;
    state.counters["memcpy_records_per_s"] = static_cast<double>(records) / base_secs;
    state.counters["cost_vs_memcpy"] = secs / base_secs;
}

void BM_VSL_AppendK(benchmark::State &state)
{
    logfile();
    const std::string rec = k_record();
    int64_t n = 0;
    auto t0 = Clock::now();
    for (auto _ : state) {
        VSL(2, 0, K_FORMAT, K_ARGS);
        n++;
    }
    double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    double base = memcpy_into_ring(rec, n);
    state.SetItemsProcessed(n);
    report(state, secs, base, n);
}
BENCHMARK(BM_VSL_AppendK);

struct Sink {
    char buf[VSL_MAX_RECORD];
    uint64_t bytes = 0;
};

int copy_out(void *priv, unsigned, unsigned, unsigned len, unsigned, const char *ptr, uint64_t)
{
    Sink *s = static_cast<Sink *>(priv);
    memcpy(s->buf, ptr, len);
    s->bytes += len;
    benchmark::DoNotOptimize(s->buf);
    return 0;
}

void BM_Reader_FollowK(benchmark::State &state)
{
    constexpr int kBatch = 4096;
    LogFile &lf = logfile();
    VSM_data *vd = VSM_New();
    if (VSM_n_Arg(vd, lf.dir.c_str()) != 1)
        abort();
    VSL_Setup(vd);
    if (VSL_Open(vd, 1) != 0)
        abort();
    VSL_NonBlocking(vd, 1);
    const std::string rec = k_record();
    Sink sink;
    int64_t delivered = 0;
    double secs = 0, base = 0;
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < kBatch; i++)
            VSL(2, 0, K_FORMAT, K_ARGS);
        // The same bytes copied out of the ring, as the baseline.
        const uint8_t *src = reinterpret_cast<const uint8_t *>(shm.vsl_start + 1);
        const size_t step = VSL_BYTES(static_cast<uint32_t>(rec.size()));
        auto b0 = Clock::now();
        for (int i = 0; i < kBatch; i++) {
            memcpy(sink.buf, src + (static_cast<size_t>(i) * step) % (1u << 24) + VSL_HDR,
                   rec.size());
            benchmark::DoNotOptimize(sink.buf);
        }
        base += std::chrono::duration<double>(Clock::now() - b0).count();
        state.ResumeTiming();

        uint64_t before = sink.bytes;
        auto t0 = Clock::now();
        int r = VSL_Dispatch(vd, copy_out, &sink);
        secs += std::chrono::duration<double>(Clock::now() - t0).count();
        if (r != -1 || sink.bytes - before != static_cast<uint64_t>(kBatch) * rec.size()) {
            state.SkipWithError("reader lost or invented records");
            break;
        }
        delivered += kBatch;
    }
    state.SetItemsProcessed(delivered);
    if (delivered > 0)
        report(state, secs, base, delivered);
    VSM_Delete(vd);
}
BENCHMARK(BM_Reader_FollowK);

} // namespace

BENCHMARK_MAIN();
