// The real daemon over loopback: cache hits end to end, cold renders, and
// throughput of concurrent clients with one and with two workers.

#include "plume/Remoting.h"
#include "xadracommon/PreviewApi.h"
#include "xadracommon/RendererClient.h"

#include "../common/DaemonProcess.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace Plume;
using namespace xad::preview::api;

namespace {

const std::string kData = std::string(XAD_TEST_DATA) + "/hpgl";

using benchdaemon::DaemonProcess;

struct Client {
    RendererClient renderer;
    explicit Client(int port) : renderer("tcp://127.0.0.1:" + std::to_string(port)) {}
};

size_t drain(IMimeInputStream& s) {
    size_t n = 0;
    for (;;) {
        auto b = s.readBlock(65536);
        if (!b || b->getSize() == 0) break;
        n += b->getSize();
    }
    s.close();
    return n;
}

ObjPtr<IMimeInputStream> input(const std::string& name) {
    return preview::FileMimeInputStream::newInstance(name, name, kData + "/" + name, "image/hpgl");
}

void BM_CacheHitEndToEnd(benchmark::State& state) {
    DaemonProcess d(2);
    Client c(d.port());
    // A resolution whose PNG is about 100 KB for this drawing.
    const double dpi = static_cast<double>(state.range(0));
    size_t bytes = drain(*c.renderer->renderPngByResolution(input("pu_pic2plot_states.hpgl"), dpi, true, 0, nullptr,
                                                            nullptr));
    for (auto _ : state)
        drain(*c.renderer->renderPngByResolution(input("pu_pic2plot_states.hpgl"), dpi, true, 0, nullptr, nullptr));
    state.counters["result_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_CacheHitEndToEnd)->Arg(260)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ColdRenderThroughDaemon(benchmark::State& state) {
    DaemonProcess d(2);
    Client c(d.port());
    int k = 0;
    for (auto _ : state) {
        // A whole turn more each time: a new job for the same picture, the input already downloaded.
        drain(*c.renderer->renderPngByResolution(input("pu_big_harmonograph.hpgl"), 150, true, 360 * ++k, nullptr,
                                                 nullptr));
    }
}
BENCHMARK(BM_ColdRenderThroughDaemon)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(3)->ReportAggregatesOnly(true);

void BM_EightClientsThroughput(benchmark::State& state) {
    DaemonProcess d(static_cast<unsigned>(state.range(0)));
    std::atomic<int> serial{0};
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&] {
                Client c(d.port());
                for (;;) {
                    try {
                        int k = serial++;
                        drain(*c.renderer->renderPngByResolution(input("pu_graph_dashed.hpgl"), 100, true, 0,
                                                                 String::newInstance("s" + std::to_string(k)), nullptr));
                        break;
                    } catch (const ThrowableException&) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // pool busy: try again
                    }
                }
            });
        for (auto& t : threads) t.join();
    }
    state.counters["renders_per_s"] = benchmark::Counter(8.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EightClientsThroughput)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(5)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
