// Bounding boxes. The cold bbox job (input fetched, one reading pass with the
// plot-size device, result stored) against hpgl-info, which reads the same
// drawing in a process of its own; the cache hit in process and through the
// real daemon; page boxes of a 300-page PDF against qpdf --show-pages.
#include "jobs/BBoxJobs.h"

#include "daemon/Settings.h"
#include "plume/Remoting.h"
#include "xadracommon/ByteArrayMimeInputStream.h"
#include "xadracommon/LogService.h"
#include "xadracommon/PreviewApi.h"
#include "xadracommon/RendererClient.h"

#include "../common/DaemonProcess.h"

#include "../common/RunQuietly.h"

#include "../common/JobBenchEnv.h"
#include "../common/NamedBytes.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace xad::preview::api;
using namespace Plume;
using benchdaemon::DaemonProcess;

namespace {

const std::string kHarmonograph = std::string(XAD_TEST_DATA) + "/hpgl/pu_big_harmonograph.hpgl";

using benchdaemon::readFile;

using benchdaemon::runQuietly;

struct Env : benchdaemon::JobBenchEnv {
    Env() : JobBenchEnv("xadbboxbench") {
        drawing = readFile(kHarmonograph);
        // 300 Letter pages: the three-page document a hundred times.
        std::vector<std::string> args = {"qpdf", "--empty", "--pages"};
        for (int i = 0; i < 100; ++i) args.push_back(std::string(XAD_TEST_DATA) + "/pdf/letter_3pages.pdf");
        args.push_back("--");
        pages300 = base + "/pages300.pdf";
        args.push_back(pages300);
        if (!runQuietly(args)) std::abort();
        pdf = readFile(pages300);
    }
    std::string drawing, pdf, pages300;
};

Env& env() {
    static Env e;
    return e;
}

ObjPtr<IMimeInputStream> bytes(const std::string& data, const std::string& name, const char* mime) {
    return benchdaemon::namedBytes(data, name, mime);
}

void BM_HpglInfo(benchmark::State& state) {
    const std::string bin = std::string(XAD_BIN_DIR) + "/hpgl-info";
    for (auto _ : state)
        if (!runQuietly({bin, kHarmonograph})) state.SkipWithError("hpgl-info failed");
}
BENCHMARK(BM_HpglInfo)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);

// A new input name each time: fetched into the cache, measured, stored.
void BM_BBoxJobCold(benchmark::State& state) {
    Env& e = env();
    static std::atomic<long> n{0};
    for (auto _ : state)
        benchmark::DoNotOptimize(
            Xadra::measureBoundingBox(bytes(e.drawing, "h" + std::to_string(n++) + ".plt", "image/hpgl")));
}
BENCHMARK(BM_BBoxJobCold)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);

void BM_BBoxJobCacheHit(benchmark::State& state) {
    Env& e = env();
    auto in = bytes(e.drawing, "hit.plt", "image/hpgl");
    Xadra::measureBoundingBox(in);
    for (auto _ : state) benchmark::DoNotOptimize(Xadra::readBoundingBox(Xadra::measureBoundingBox(in)->getDataFilePath()));
}
BENCHMARK(BM_BBoxJobCacheHit)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(7)->ReportAggregatesOnly(true);

void BM_QpdfShowPages300(benchmark::State& state) {
    Env& e = env();
    for (auto _ : state)
        if (!runQuietly({"qpdf", "--show-pages", e.pages300})) state.SkipWithError("qpdf failed");
}
BENCHMARK(BM_QpdfShowPages300)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);

void BM_PageBoxesCold300(benchmark::State& state) {
    Env& e = env();
    static std::atomic<long> n{0};
    for (auto _ : state)
        benchmark::DoNotOptimize(Xadra::readPageBoundingBoxes(
            Xadra::measurePageBoundingBoxes(bytes(e.pdf, "p" + std::to_string(n++) + ".pdf", "application/pdf"))
                ->getDataFilePath()));
}
BENCHMARK(BM_PageBoxesCold300)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);

// ------------------------------------------------------- the real daemon

ObjPtr<IMimeInputStream> file(const std::string& name, const std::string& path, const char* mime) {
    return preview::FileMimeInputStream::newInstance(name, name, path, mime);
}

void BM_BBoxColdEndToEnd(benchmark::State& state) {
    DaemonProcess d;
    RendererClient c("tcp://127.0.0.1:" + std::to_string(d.port()));
    long n = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(c->getBoundingBox(file("e" + std::to_string(n++) + ".plt", kHarmonograph, "image/hpgl")));
}
BENCHMARK(BM_BBoxColdEndToEnd)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(20)->Repetitions(5)->ReportAggregatesOnly(true);

// Cold again, but the input is already in the daemon's cache (a small
// preview fetched it, outside the timing): the job through the daemon
// without the transfer, which the download's one remote call per 4096
// bytes dominates above.
void BM_BBoxColdEndToEndInputCached(benchmark::State& state) {
    DaemonProcess d;
    RendererClient c("tcp://127.0.0.1:" + std::to_string(d.port()));
    long n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        const std::string name = "c" + std::to_string(n++) + ".plt";
        c->renderPngByPixelSize(file(name, kHarmonograph, "image/hpgl"), 8, false, 0, nullptr, nullptr)->close();
        state.ResumeTiming();
        benchmark::DoNotOptimize(c->getBoundingBox(file(name, kHarmonograph, "image/hpgl")));
    }
}
BENCHMARK(BM_BBoxColdEndToEndInputCached)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(20)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_BBoxCacheHitEndToEnd(benchmark::State& state) {
    DaemonProcess d;
    RendererClient c("tcp://127.0.0.1:" + std::to_string(d.port()));
    c->getBoundingBox(file("warm.plt", kHarmonograph, "image/hpgl"));
    for (auto _ : state) benchmark::DoNotOptimize(c->getBoundingBox(file("warm.plt", kHarmonograph, "image/hpgl")));
}
BENCHMARK(BM_BBoxCacheHitEndToEnd)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_PageBoxesCacheHitEndToEnd300(benchmark::State& state) {
    Env& e = env();
    DaemonProcess d;
    RendererClient c("tcp://127.0.0.1:" + std::to_string(d.port()));
    c->getPageBoundingBoxes(file("warm.pdf", e.pages300, "application/pdf"));
    for (auto _ : state)
        benchmark::DoNotOptimize(c->getPageBoundingBoxes(file("warm.pdf", e.pages300, "application/pdf")));
}
BENCHMARK(BM_PageBoxesCacheHitEndToEnd300)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
