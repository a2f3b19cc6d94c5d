// Comparing two A1 renderings at 150 dpi (4967 x 3508 RGB) that are already
// cached, against the libpng work it cannot avoid: reading both files row
// by row and writing one file of the same size. The difference of the two
// medians is the comparison's own share.
#include "jobs/PngCompareJob.h"

#include "daemon/Settings.h"
#include "imaging/PngReader.h"
#include "imaging/PngWriter.h"
#include "xadracommon/LogService.h"

#include "../common/JobBenchEnv.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstring>
#include <filesystem>

using Plume::ObjPtr;

namespace {

constexpr uint32_t kWidth = 4967, kHeight = 3508;

// A drawing-like page: white with a few dark lines, so that it compresses
// like a real preview.
void writePage(const std::string& path, int shift) {
    Xadra::PngWriter w;
    w.open(path, kWidth, kHeight, 8, 2, 0, nullptr, 0, 1);
    for (uint32_t y = 0; y < kHeight; ++y) {
        unsigned char* row = w.getRowBuffer();
        std::memset(row, 255, w.getRowBytes());
        if ((y + shift) % 97 < 2) std::memset(row, 0, w.getRowBytes());
        for (uint32_t x = (y * 7 + shift) % 113; x < kWidth; x += 113) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = 0;
        w.writeRows();
    }
    w.close();
}

struct Env : benchdaemon::JobBenchEnv {
    Env() : JobBenchEnv("xadcmpbench") {
        writePage(base + "/a.png", 0);
        writePage(base + "/b.png", 5);
    }
    ObjPtr<Xadra::HPGSRendererCacheEntry> entry(const std::string& name, const std::string& tag) const {
        const std::string path = base + "/" + name;
        return Plume::makeObj<Xadra::HPGSRendererCacheEntry>(name, name, tag, "", 1.0, path, path + ".m", name, name,
                                                             "image/png", 1.0, 0);
    }
};

Env& env() {
    static Env e;
    return e;
}

void BM_LibpngReadTwoWriteOne(benchmark::State& state) {
    Env& e = env();
    for (auto _ : state) {
        Xadra::PngReader a, b;
        a.open(e.base + "/a.png", true);
        b.open(e.base + "/b.png", true);
        Xadra::PngWriter w;
        w.open(e.base + "/libpng-out.png", kWidth, kHeight, 8, 2, 0, nullptr, 0, 1);
        for (uint32_t y = 0; y < kHeight; ++y) {
            a.readRow();
            b.readRow();
            std::memcpy(w.getRowBuffer(), a.getRowBuffer(), w.getRowBytes());
            w.writeRows();
        }
        w.close();
    }
}
BENCHMARK(BM_LibpngReadTwoWriteOne)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// A new tag each time, so that the comparison runs (the renderings are the
// same cached files).
void BM_CompareJob(benchmark::State& state) {
    Env& e = env();
    static std::atomic<long> n{0};
    for (auto _ : state) {
        const std::string t = std::to_string(n++);
        benchmark::DoNotOptimize(Xadra::executeJob(
            Plume::makeObj<Xadra::HPGSPngCompareJob>(e.entry("a.png", "a" + t), e.entry("b.png", "b" + t), 0, 0)));
    }
}
BENCHMARK(BM_CompareJob)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
