// PDF output jobs, cold (a new identity each time, the input already in the
// cache): the 2 MB harmonograph to PDF against the PNG job and hpgl2png at
// 150 dpi (with the sizes of both results as counters), and a 100-page PDF
// rotated and stamped against qpdf --rotate=+90:1 of the same file.
#include "jobs/PdfOutputJobs.h"
#include "jobs/PngRendererJob.h"

#include "daemon/Settings.h"
#include "xadracommon/ByteArrayMimeInputStream.h"
#include "xadracommon/LogService.h"

#include "../common/RunQuietly.h"

#include "../common/JobBenchEnv.h"
#include "../common/NamedBytes.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace {

const std::string kHarmonograph = std::string(XAD_TEST_DATA) + "/hpgl/pu_big_harmonograph.hpgl";

using benchdaemon::readFile;

using benchdaemon::runQuietly;

struct Env : benchdaemon::JobBenchEnv {
    Env() : JobBenchEnv("xadpdfbench") {
        harmonograph = readFile(kHarmonograph);
        drawing = bytes(harmonograph, "harmonograph.plt", "image/hpgl");
        // 100 A4 pages, each a copy of the sample drawing.
        std::vector<std::string> args;
        args = {"qpdf", "--empty", "--pages"};
        for (int i = 0; i < 100; ++i) {
            args.push_back(std::string(XAD_TEST_DATA) + "/pdf/a4_drawing.pdf");
            args.push_back("1");
        }
        args.push_back("--");
        pages100 = base + "/pages100.pdf";
        args.push_back(pages100);
        if (!runQuietly(args)) std::abort();
        pdfData = readFile(pages100);
    }
    static ObjPtr<IMimeInputStream> bytes(const std::string& data, const std::string& name, const char* mime) {
        return benchdaemon::namedBytes(data, name, mime);
    }
    // The stream serves the bytes of harmonograph, which it does not copy.
    std::string harmonograph;
    ObjPtr<IMimeInputStream> drawing;
    std::string pages100, pdfData;
};

Env& env() {
    static Env e;
    return e;
}

void BM_Hpgl2Png150(benchmark::State& state) {
    Env& e = env();
    const std::string out = e.base + "/h.png";
    for (auto _ : state)
        if (!runQuietly({std::string(XAD_BIN_DIR) + "/hpgl2png", kHarmonograph, out, "--dpi", "150"}))
            state.SkipWithError("hpgl2png failed");
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(out));
}
BENCHMARK(BM_Hpgl2Png150)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// A whole turn more each time: a new job, the input already fetched.
void BM_PngJob150(benchmark::State& state) {
    Env& e = env();
    Xadra::renderPngByResolution(e.drawing, 150, true, 0, "", nullptr);
    static std::atomic<int> n{1};
    ObjPtr<Xadra::HPGSRendererCacheEntry> r;
    for (auto _ : state) r = Xadra::renderPngByResolution(e.drawing, 150, true, 360 * n++, "", nullptr);
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(r->getDataFilePath()));
}
BENCHMARK(BM_PngJob150)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_PdfJob(benchmark::State& state) {
    Env& e = env();
    Xadra::renderPdfFromHpgl(e.drawing, nullptr, 0);
    static std::atomic<int> n{1};
    ObjPtr<Xadra::HPGSRendererCacheEntry> r;
    for (auto _ : state) r = Xadra::renderPdfFromHpgl(e.drawing, nullptr, 360 * n++);
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(r->getDataFilePath()));
}
BENCHMARK(BM_PdfJob)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_QpdfRotate100(benchmark::State& state) {
    Env& e = env();
    for (auto _ : state)
        if (!runQuietly({"qpdf", e.pages100, "--rotate=+90:1", e.base + "/rotated.pdf"})) state.SkipWithError("qpdf failed");
}
BENCHMARK(BM_QpdfRotate100)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// A new name each time: fetched, opened, turned, stamped on every page,
// written.
void BM_RotateAndStamp100(benchmark::State& state) {
    Env& e = env();
    static std::atomic<int> n{0};
    ObjPtr<Xadra::HPGSRendererCacheEntry> r;
    for (auto _ : state)
        r = Xadra::finishPdf(Env::bytes(e.pdfData, "d" + std::to_string(n++) + ".pdf", "application/pdf"), nullptr,
                             90, "COPY", nullptr);
    state.counters["bytes"] = static_cast<double>(std::filesystem::file_size(r->getDataFilePath()));
}
BENCHMARK(BM_RotateAndStamp100)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
