// One drawn annotation inserted into the 2 MB harmonograph (cold: a new
// input name each time, so the input is fetched, then read once, measured
// and copied with the annotation) against hpgl-info reading the same file.
#include "jobs/HpglOutputJobs.h"

#include "daemon/Settings.h"
#include "xadracommon/ByteArrayMimeInputStream.h"
#include "xadracommon/LogService.h"

#include "../common/RunQuietly.h"

#include "../common/JobBenchEnv.h"
#include "../common/NamedBytes.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace xad::preview::api;
using Plume::ObjPtr;
using benchdaemon::runQuietly;

namespace {

const std::string kHarmonograph = std::string(XAD_TEST_DATA) + "/hpgl/pu_big_harmonograph.hpgl";

using benchdaemon::readFile;

struct Env : benchdaemon::JobBenchEnv {
    Env() : JobBenchEnv("xadhpglbench") {
        drawing = readFile(kHarmonograph);
        const double b = Xadra::Settings::getPdfBorder();
        fdf = "%FDF-1.2\n1 0 obj\n<< /FDF << /Annots [2 0 R] >> >>\nendobj\n2 0 obj\n<< /Type /Annot /Subtype "
              "/Square /Page 0 /Rect [" +
              std::to_string(b + 20) + " " + std::to_string(b + 20) + " " + std::to_string(b + 120) + " " +
              std::to_string(b + 80) + "] /C [1 0 0] >>\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n";
    }
    std::string drawing, fdf;
};

Env& env() {
    static Env e;
    return e;
}

void BM_HpglInfo(benchmark::State& state) {
    for (auto _ : state)
        if (!runQuietly({std::string(XAD_BIN_DIR) + "/hpgl-info", kHarmonograph})) state.SkipWithError("hpgl-info failed");
}
BENCHMARK(BM_HpglInfo)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);

void BM_InsertOneAnnotation(benchmark::State& state) {
    Env& e = env();
    static std::atomic<long> n{0};
    for (auto _ : state) {
        auto list = Plume::List::newInstance();
        auto a = Annotation::newInstance();
        a->setMode(2);
        a->setFdf(xad::preview::streams::ByteArrayMimeInputStream::newInstance(e.fdf.data(), e.fdf.size(), "a.fdf",
                                                                              "application/vnd.fdf"));
        list->add(a);
        const std::string name = "h" + std::to_string(n++) + ".plt";
        benchmark::DoNotOptimize(Xadra::insertHpglAnnotations(
            benchdaemon::namedBytes(e.drawing, name, "image/hpgl"),
            0, "", list));
    }
}
BENCHMARK(BM_InsertOneAnnotation)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(9)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
