// Overhead of the job framework. The measuring job does what the PNG job does
// before it paints (one reading pass of hpgs with the plot-size device) and
// stores a small result, so a cold run through executeJob compares with the
// same pass through hpgs alone. With the paint device present, the PNG
// factory is measured the same way.
#include "jobs/PngRendererJob.h"
#include "daemon/Settings.h"

#include "xadracommon/LogService.h"

#include "../common/BenchDir.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

const std::string kSample = std::string(XAD_TEST_DATA) + "/hpgl/pu_big_harmonograph.hpgl";

// One reading pass with the plot-size device; the box goes into the job file.
int measure(hpgs_reader** out, const std::string& file, hpgs_bbox* box) {
    hpgs_istream* in = hpgs_new_file_istream(file.c_str());
    if (!in) return -1;
    hpgs_device* dev = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
    hpgs_reader* r = hpgs_new_reader(in, dev, HPGS_FALSE, 0);
    if (!r) return -1;
    *out = r;
    if (hpgs_read(r, HPGS_TRUE) < 0) return -1;
    return hpgs_getplotsize(dev, 1, box);
}

class MeasureJob : public Xadra::HPGSRendererJob {
public:
    using HPGSRendererJob::HPGSRendererJob;
    bool trivial = false;
    int render(Plume::Mutex& mutex) override {
        if (trivial) {
            FILE* f = std::fopen(Xadra::jobCache().getJobFileName(runningWorkerIndex()).c_str(), "w");
            if (!f) return hpgs_set_error("cannot write job file");
            std::fclose(f);
            return 0;
        }
        hpgs_reader* r = nullptr;
        hpgs_bbox box;
        int rc = measure(&r, getInput()->getFileName(), &box);
        if (r) Xadra::setReader(*this, mutex, hpgs::UniqueReader(r));
        if (rc < 0) return -1;
        FILE* f = std::fopen(Xadra::jobCache().getJobFileName(runningWorkerIndex()).c_str(), "w");
        if (!f) return hpgs_set_error("cannot write job file");
        std::fprintf(f, "%g %g %g %g\n", box.llx, box.lly, box.urx, box.ury);
        std::fclose(f);
        return 0;
    }
    std::string getResultMimeType() override { return "text/plain"; }
    std::string getResultUniqueName() override { return getUniqueName() + ".box"; }
    std::string getResultPrettyName() override { return getPrettyName() + ".box"; }
};

struct Env {
    Env() {
        base = benchdaemon::makeBenchDir("xadjobbench");
        Xadra::logService().levelThreshold = std::getenv("XAD_BENCH_LOG") ? 7 : 2;
        cache.setSyncWrites(false);
        cache.initialise(100000.0, base);
        Xadra::setJobCache(&cache);
        Xadra::Settings::setRenderTimeout(600);
        Xadra::setNWorkers(2);
        Xadra::startWorkers();
        data = readFile(kSample);
        input = preview(data, "harmonograph.plt");
    }
    ~Env() {
        Xadra::stopWorkers();
        Xadra::setJobCache(nullptr);
        std::filesystem::remove_all(base);
    }
    static ObjPtr<IMimeInputStream> preview(const std::string& bytes, const std::string& name) {
        auto s = xad::preview::streams::ByteArrayMimeInputStream::newInstance(bytes.data(), bytes.size(), name,
                                                                              "image/hpgl");
        return s;
    }
    std::string base;
    Xadra::HPGSRendererCache cache;
    std::string data;
    ObjPtr<IMimeInputStream> input;
};

Env& env() {
    static Env e;
    return e;
}

ObjPtr<Xadra::HPGSRendererCacheEntry> runMeasure(const std::string& tag, bool trivial = false) {
    Env& e = env();
    auto job = Plume::makeObj<MeasureJob>(e.input, Plume::String::toText(e.input->getUniqueName().get()), "harmonograph.plt",
                                          tag, "", e.input->getTimestamp(), nullptr);
    job->trivial = trivial;
    return Xadra::executeJob(job);
}

void BM_MeasureEngineAlone(benchmark::State& state) {
    Env& e = env();
    runMeasure("warm-up");  // the input is downloaded into the cache once
    auto dl = e.cache.lookup(Plume::String::toText(e.input->getUniqueName().get()),
                             Plume::String::toText(e.input->getUniqueName().get()), "");
    for (auto _ : state) {
        hpgs_reader* r = nullptr;
        hpgs_bbox box;
        if (measure(&r, dl->getDataFilePath(), &box) < 0) state.SkipWithError(hpgs_get_error());
        hpgs_destroy_reader(r);
        benchmark::DoNotOptimize(box);
    }
}
BENCHMARK(BM_MeasureEngineAlone)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_MeasureColdThroughExecuteJob(benchmark::State& state) {
    runMeasure("warm-up");
    static std::atomic<long> n{0};
    for (auto _ : state) {
        auto entry = runMeasure("cold" + std::to_string(n++));
        benchmark::DoNotOptimize(entry);
    }
}
BENCHMARK(BM_MeasureColdThroughExecuteJob)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// The framework's own cost of a cold job: hand-off to a worker, cache store
// and the wake-up of the request, around a render that writes an empty file.
void BM_TrivialColdThroughExecuteJob(benchmark::State& state) {
    runMeasure("warm-up");
    static std::atomic<long> n{0};
    for (auto _ : state) benchmark::DoNotOptimize(runMeasure("trivial" + std::to_string(n++), true));
}
BENCHMARK(BM_TrivialColdThroughExecuteJob)->MeasureProcessCPUTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_CacheHitThroughExecuteJob(benchmark::State& state) {
    runMeasure("hit");
    for (auto _ : state) benchmark::DoNotOptimize(runMeasure("hit"));
}
BENCHMARK(BM_CacheHitThroughExecuteJob)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

// The PNG render of the sample at 50 dpi through hpgs alone: measuring pass,
// page placement, paint pass into a PNG file.
int paintAlone(const std::string& file, const std::string& out, double dpi) {
    hpgs_istream* in = hpgs_new_file_istream(file.c_str());
    if (!in) return -1;
    hpgs_device* measure = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
    hpgs_reader* r = hpgs_new_reader(in, measure, HPGS_FALSE, 1);
    if (!r) return -1;
    hpgs_bbox box;
    int rc = -1;
    if (hpgs_read(r, HPGS_TRUE) == 0 && hpgs_getplotsize(measure, 1, &box) == 0 &&
        hpgs_reader_set_dynamic_page(r, &box, 72000.0, 72000.0, 0.0, 0.0) == 0) {
        int w = static_cast<int>(std::floor((box.urx - box.llx) * dpi / 72.0 + 0.5));
        int h = static_cast<int>(std::floor((box.ury - box.lly) * dpi / 72.0 + 0.5));
        hpgs_png_image* img = hpgs_new_png_image(w, h, 24, HPGS_FALSE, HPGS_TRUE);
        hpgs_paint_device* dev = img ? hpgs_new_paint_device(img, out.c_str(), &box, HPGS_TRUE) : nullptr;
        if (dev) {
            hpgs_paint_device_set_thin_alpha(dev, 0.5);
            hpgs_paint_device_set_image_interpolation(dev, 1);
            if (hpgs_reader_imbue(r, reinterpret_cast<hpgs_device*>(dev)) == 0) rc = hpgs_read(r, HPGS_TRUE);
        }
    }
    hpgs_destroy_reader(r);
    return rc;
}

void BM_PngEngineAlone(benchmark::State& state) {
    Env& e = env();
    const std::string out = e.base + "/alone.png";
    for (auto _ : state)
        if (paintAlone(kSample, out, 50.0) != 0) state.SkipWithError(hpgs_get_error());
}
BENCHMARK(BM_PngEngineAlone)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// The same render through the factory and executeJob, a new identity (angle
// 0 or 360, the same page) each time so that nothing comes from the cache.
void BM_PngColdThroughExecuteJob(benchmark::State& state) {
    Env& e = env();
    Xadra::renderPngByResolution(e.input, 50, true, 0, "", nullptr);  // downloads the input
    static std::atomic<int> n{1};
    for (auto _ : state)
        benchmark::DoNotOptimize(Xadra::renderPngByResolution(e.input, 50, true, 360 * n++, "", nullptr));
}
BENCHMARK(BM_PngColdThroughExecuteJob)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_PngFactoryCacheHit(benchmark::State& state) {
    Env& e = env();
    Xadra::renderPngByResolution(e.input, 20, true, 0, "", nullptr);
    for (auto _ : state) benchmark::DoNotOptimize(Xadra::renderPngByResolution(e.input, 20, true, 0, "", nullptr));
}
BENCHMARK(BM_PngFactoryCacheHit)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);


}  // namespace

BENCHMARK_MAIN();
