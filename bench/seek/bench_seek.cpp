// A whole pattern seek with the default seek size of 1024 pixels: the
// plotutils graph with a title block drawn into its lower right corner,
// searched for that block at the four angles. BM_SeekJob runs the job (a new
// drawing name each time; the pattern's rendering comes from the cache after
// the first run); BM_CorrelationOnly does the FFT work of one seek alone:
// the pattern's transform and, per angle, transform, correlation, inverse
// transform and peak search. Their difference is the share of rendering.
#include "jobs/PngSeekJob.h"

#include "daemon/Settings.h"
#include "imaging/FFTImage.h"
#include "xadracommon/ByteArrayMimeInputStream.h"

#include "../common/JobBenchEnv.h"
#include "../common/NamedBytes.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <random>
#include <sstream>
#include <vector>

using Plume::ObjPtr;
using xad::preview::api::IMimeInputStream;

namespace {

std::string patternAt(long x, long y) {
    std::ostringstream s;
    s << "PU" << x << "," << y << ";PD" << x + 1600 << "," << y << "," << x + 1600 << "," << y + 800 << "," << x
      << "," << y + 800 << "," << x << "," << y << ";PU" << x + 100 << "," << y + 100 << ";PM0;PD" << x + 500 << ","
      << y + 100 << "," << x + 100 << "," << y + 700 << "," << x + 100 << "," << y + 100 << ";PM2;FP;PU"
      << x + 1200 << "," << y + 400 << ";CI250;PU" << x + 600 << "," << y + 700 << ";PD" << x + 1500 << ","
      << y + 150 << ";PU;";
    return s.str();
}

struct Env : benchdaemon::JobBenchEnv {
    Env() : JobBenchEnv("xadseekbench") {
        Xadra::Settings::setSeekSize(1024);
        Xadra::Settings::setLabelSize(0);
        std::string graph = benchdaemon::readFile(std::string(XAD_TEST_DATA) + "/hpgl/pu_graph_dashed.hpgl");
        // The graph ends with its page eject; the block goes in before it.
        const size_t end = graph.rfind("PA0,0;SP0;PG0;");
        drawing = graph.substr(0, end) + "IN;SP1;PW0.5;" + patternAt(6000, 400) + "SP0;PG0;";
        pattern = "IN;SP1;PW0.5;" + patternAt(0, 0) + "SP0;";
    }
    std::string drawing, pattern;
};

Env& env() {
    static Env e;
    return e;
}

ObjPtr<IMimeInputStream> bytes(const std::string& data, const std::string& name) {
    return benchdaemon::namedBytes(data, name, "image/hpgl");
}

void BM_SeekJob(benchmark::State& state) {
    Env& e = env();
    static std::atomic<long> n{0};
    for (auto _ : state) {
        auto r = Xadra::seekPattern(bytes(e.drawing, "graph" + std::to_string(n++) + ".plt"), bytes(e.pattern, "block.plt"), 0);
        if (!r) state.SkipWithError("seek failed");
    }
}
BENCHMARK(BM_SeekJob)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);

// Sparse ink like a drawing's: about one pixel in twenty.
std::vector<double> sparseInk(unsigned seed) {
    std::mt19937 g(seed);
    std::uniform_real_distribution<double> d(0.0, 1.0);
    std::vector<double> v(1024 * 1024);
    for (double& x : v) x = d(g) < 0.05 ? 1.0 : 0.0;
    return v;
}

void BM_CorrelationOnly(benchmark::State& state) {
    env();
    static const std::vector<double> patternInk = sparseInk(1), drawingInk = sparseInk(2);
    for (auto _ : state) {
        Xadra::FFTImage pattern;
        pattern.init(1024, 1024);
        std::copy(patternInk.begin(), patternInk.end(), pattern.data());
        pattern.transform();
        for (int angle = 0; angle < 4; ++angle) {
            Xadra::FFTImage seek;
            seek.init(1024, 1024);
            std::copy(drawingInk.begin(), drawingInk.end(), seek.data());
            seek.transform();
            seek.correlate(pattern);
            seek.inverseTransform();
            double peak[4];
            seek.findMaximum(peak);
            benchmark::DoNotOptimize(peak);
        }
    }
}
BENCHMARK(BM_CorrelationOnly)->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(7)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
