// Benchmarks of the result cache on a populated directory of 100,000 entries
// (created once per run under /tmp and removed at the end).
//
//   BM_LookupHit          lookup of a stored identity with 100,000 indexed
//   BM_Store/sync:0|1     store throughput (entries per second), with and
//                         without flushing data file and manifest to disk
//   BM_StartupScan        full scan of 100,000 manifests until joined
//   BM_RequestsDuringScan lookups for random subdirectories while the
//                         initialiser runs: latency and how many were answered
//                         before the scan ended
#include "cache/HPGSRendererCache.h"
#include "xadracommon/LogService.h"

#include "../common/BenchDir.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Xadra::HPGSRendererCache;

namespace {

constexpr int kEntries = 100000;
const std::string kTag = "150dpi,antialias,0deg";

std::string entryName(int i) { return "drawings/bench" + std::to_string(i) + ".plt"; }

void writeJob(const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << std::string(256, 'x');
}

struct Cleanup {
    std::vector<std::string> dirs;
    ~Cleanup() {
        for (auto& d : dirs) fs::remove_all(d);
    }
} g_cleanup;

// The populated base directory, made on first use and removed at exit.
const std::string& populatedBase() {
    static std::string base = [] {
        std::string dir = benchdaemon::makeBenchDir("xadcachebench");
        HPGSRendererCache c;
        c.setSyncWrites(false);
        c.initialise(1e9, dir);
        std::string job = c.getJobFileName(0);
        for (int i = 0; i < kEntries; ++i) {
            writeJob(job);
            c.store(entryName(i), "Bench", kTag, "", 1.0, job, "out.png", "Out.png", "image/png");
        }
        g_cleanup.dirs.push_back(dir);
        return dir;
    }();
    return base;
}

void waitForScan(HPGSRendererCache& c) {
    while (c.isInitializerRunning()) {
        c.periodicTask();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void BM_LookupHit(benchmark::State& state) {
    HPGSRendererCache c;
    c.initialise(1e9, populatedBase());
    c.startInitializer();
    waitForScan(c);
    std::vector<std::string> names;
    std::mt19937 rng(1);
    for (int i = 0; i < 4096; ++i) names.push_back(entryName(static_cast<int>(rng() % kEntries)));
    size_t i = 0;
    for (auto _ : state) {
        auto e = c.lookup(names[i++ & 4095], kTag, "");
        if (!e) state.SkipWithError("miss");
        benchmark::DoNotOptimize(e);
    }
    state.counters["entries"] = static_cast<double>(c.getEntryCount());
}
BENCHMARK(BM_LookupHit)->Unit(benchmark::kMicrosecond);

void BM_Store(benchmark::State& state) {
    std::string dir = benchdaemon::makeBenchDir("xadcachestore");
    {
        HPGSRendererCache c;
        c.setSyncWrites(state.range(0) != 0);
        c.initialise(1e9, dir);
        std::string job = c.getJobFileName(0);
        int n = 0;
        for (auto _ : state) {
            state.PauseTiming();
            writeJob(job);
            state.ResumeTiming();
            c.store("store" + std::to_string(n++) + ".plt", "Bench", kTag, "", 1.0, job, "out.png", "Out.png",
                    "image/png");
        }
        state.SetItemsProcessed(state.iterations());
    }
    fs::remove_all(dir);
}
BENCHMARK(BM_Store)->ArgName("sync")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->Iterations(3000)->UseRealTime();

void BM_StartupScan(benchmark::State& state) {
    const std::string& base = populatedBase();
    for (auto _ : state) {
        HPGSRendererCache c;
        c.initialise(1e9, base);
        c.startInitializer();
        waitForScan(c);
        if (c.getEntryCount() != static_cast<size_t>(kEntries)) state.SkipWithError("entries missing");
    }
    state.counters["manifests"] = kEntries;
}
BENCHMARK(BM_StartupScan)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

void BM_RequestsDuringScan(benchmark::State& state) {
    const std::string& base = populatedBase();
    std::vector<double> latencies;
    for (auto _ : state) {
        HPGSRendererCache c;
        c.initialise(1e9, base);
        std::mt19937 rng(7);
        c.startInitializer();
        latencies.clear();
        auto scanStart = std::chrono::steady_clock::now();
        // Requests for entries all over the cache until the scan has ended.
        while (c.getSubdirState(255) != HPGSRendererCache::INITIALIZED || c.getEntryCount() < kEntries) {
            int i = static_cast<int>(rng() % kEntries);
            auto t0 = std::chrono::steady_clock::now();
            auto e = c.lookup(entryName(i), kTag, "");
            auto t1 = std::chrono::steady_clock::now();
            if (!e) state.SkipWithError("miss during scan");
            latencies.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
            if (t1 - scanStart > std::chrono::seconds(120)) break;
        }
        waitForScan(c);
    }
    std::sort(latencies.begin(), latencies.end());
    state.counters["answered_during_scan"] = static_cast<double>(latencies.size());
    if (!latencies.empty()) {
        state.counters["median_us"] = latencies[latencies.size() / 2];
        state.counters["p99_us"] = latencies[latencies.size() * 99 / 100];
        state.counters["max_us"] = latencies.back();
    }
}
BENCHMARK(BM_RequestsDuringScan)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Xadra::logService().levelThreshold = 3;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
