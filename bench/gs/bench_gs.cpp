// A Letter page at 150 dpi through the daemon (cold: a new input name each
// time, so that the input is fetched and ghostscript runs; and from the
// cache) against a bare gs run with the same arguments; eight concurrent
// cold requests on two workers against two bare gs runs in parallel.
#include "xadracommon/PreviewApi.h"
#include "xadracommon/RendererClient.h"
#include "xadracommon/RetryPause.h"

#include "../common/DaemonProcess.h"

#include "../common/RunQuietly.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using namespace xad::preview::api;
using namespace Plume;
using benchdaemon::DaemonProcess;

namespace {

const std::string kLetter = std::string(XAD_TEST_DATA) + "/pdf/letter_3pages.pdf";

using benchdaemon::runQuietly;

// CPU seconds of a process: its own (user + system) and those of its
// reaped children, from /proc/<pid>/stat.
struct CpuTimes {
    double self = 0, children = 0;
};
CpuTimes cpuOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::vector<std::string> f((std::istream_iterator<std::string>(fields)), std::istream_iterator<std::string>());
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    CpuTimes t;
    if (f.size() > 14) {
        t.self = (std::stod(f[11]) + std::stod(f[12])) / tick;
        t.children = (std::stod(f[13]) + std::stod(f[14])) / tick;
    }
    return t;
}

std::vector<std::string> gsLetter150(const std::string& out) {
    return {"gs", "-dQUIET", "-dBATCH", "-dNOPAUSE", "-dTextAlphaBits=4", "-dGraphicsAlphaBits=4", "-sDEVICE=png16m",
            "-dFirstPage=1", "-dLastPage=1", "-r150x150", "-g1275x1650", "-sOutputFile=" + out, kLetter};
}

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

ObjPtr<IMimeInputStream> letter(const std::string& name) {
    return preview::FileMimeInputStream::newInstance(name, name, kLetter, "application/pdf");
}

void BM_BareGs(benchmark::State& state) {
    for (auto _ : state)
        if (!runQuietly(gsLetter150("/tmp/xad-bench-gs.png"))) state.SkipWithError("gs failed");
}
BENCHMARK(BM_BareGs)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(10)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_PageColdEndToEnd(benchmark::State& state) {
    DaemonProcess d(2);
    RendererClient c("tcp://127.0.0.1:" + std::to_string(d.port()));
    long n = 0;
    for (auto _ : state)
        drain(*c->renderPngByResolution(letter("l" + std::to_string(n++) + ".pdf"), 150, true, 0, nullptr, nullptr));
}
BENCHMARK(BM_PageColdEndToEnd)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(10)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_PageCacheHitEndToEnd(benchmark::State& state) {
    DaemonProcess d(2);
    RendererClient c("tcp://127.0.0.1:" + std::to_string(d.port()));
    drain(*c->renderPngByResolution(letter("hit.pdf"), 150, true, 0, nullptr, nullptr));
    for (auto _ : state) drain(*c->renderPngByResolution(letter("hit.pdf"), 150, true, 0, nullptr, nullptr));
}
BENCHMARK(BM_PageCacheHitEndToEnd)->UseRealTime()->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

// Eight pages: two bare gs runs at a time, each of two threads running
// four one after the other (no barrier between rounds, as the daemon's
// workers have none).
void bareRound() {
    std::thread a([] {
        for (int i = 0; i < 4; ++i) runQuietly(gsLetter150("/tmp/xad-bench-gs-a.png"));
    });
    std::thread b([] {
        for (int i = 0; i < 4; ++i) runQuietly(gsLetter150("/tmp/xad-bench-gs-b.png"));
    });
    a.join();
    b.join();
}

void BM_BareGsTwoInParallel(benchmark::State& state) {
    const CpuTimes before = cpuOf(getpid());
    for (auto _ : state) bareRound();
    const double pages = 8.0 * static_cast<double>(state.iterations());
    state.counters["gs_cpu_ms_per_page"] = 1000 * (cpuOf(getpid()).children - before.children) / pages;
    state.counters["pages_per_s"] = benchmark::Counter(pages, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BareGsTwoInParallel)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(3)->ReportAggregatesOnly(true);

// Eight clients at once on two workers; a client whose request finds the
// pool full (a Timeout at once) asks again after a pause: the clients' own
// (RetryPause, as xadrac and the Python client wait: 6 to 18 ms at first;
// Arg 0), drawn from 10 to 30 ms always (Arg 1), none (Arg 2), 2 ms
// (Arg 3), or doubling from 100 ms up to 2 s, a common back-off (Arg 4).
int retryPauseMs(int64_t policy, std::minstd_rand& rng, Xadra::RetryPause& pause, int attempt,
                 std::chrono::steady_clock::duration waited) {
    switch (policy) {
    case 0: return static_cast<int>(pause.next(waited).count());
    case 1: return 10 + static_cast<int>(rng() % 21);
    case 2: return 0;
    case 3: return 2;
    default: return std::min(100 << std::min(attempt, 5), 2000);
    }
}

// Eight new pages from a number of clients at once (8, 4 or 2), each
// asking for its share one page after the other, and for a page again
// until it has it.
void clientRound(const DaemonProcess& d, int64_t policy, std::atomic<long>& serial, std::atomic<long>& refusals,
                 int clients = 8) {
    std::vector<std::thread> threads;
    for (int t = 0; t < clients; ++t)
        threads.emplace_back([&, t] {
            RendererClient c("tcp://127.0.0.1:" + std::to_string(d.port()));
            std::minstd_rand rng(static_cast<unsigned>(t + 1));
            Xadra::RetryPause pause(static_cast<uint32_t>(t + 1));
            for (int page = 0; page < 8 / clients; ++page) {
                const std::string name = "p" + std::to_string(serial++) + ".pdf";
                const auto first = std::chrono::steady_clock::now();
                for (int attempt = 0;; ++attempt) {
                    try {
                        drain(*c->renderPngByResolution(letter(name), 150, true, 0, nullptr, nullptr));
                        break;
                    } catch (const ThrowableException&) {
                        ++refusals;
                        const auto waited = std::chrono::steady_clock::now() - first;
                        if (const int ms = retryPauseMs(policy, rng, pause, attempt, waited))
                            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                    }
                }
            }
        });
    for (auto& t : threads) t.join();
}

void BM_EightClientsTwoWorkers(benchmark::State& state) {
    DaemonProcess d(2);
    std::atomic<long> serial{0}, refusals{0};
    const CpuTimes daemonBefore = cpuOf(d.pid()), clientsBefore = cpuOf(getpid());
    for (auto _ : state) clientRound(d, state.range(0), serial, refusals);
    // Where the CPU goes: ghostscript (the daemon's reaped children), the
    // daemon itself, and the eight clients in this process.
    const CpuTimes daemonAfter = cpuOf(d.pid()), clientsAfter = cpuOf(getpid());
    const double pages = 8.0 * static_cast<double>(state.iterations());
    state.counters["gs_cpu_ms_per_page"] = 1000 * (daemonAfter.children - daemonBefore.children) / pages;
    state.counters["daemon_cpu_ms_per_page"] = 1000 * (daemonAfter.self - daemonBefore.self) / pages;
    state.counters["client_cpu_ms_per_page"] = 1000 * (clientsAfter.self - clientsBefore.self) / pages;
    state.counters["refusals_per_page"] = static_cast<double>(refusals.load()) / pages;
    state.counters["pages_per_s"] = benchmark::Counter(pages, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EightClientsTwoWorkers)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(3)->Repetitions(3)->ReportAggregatesOnly(true);

// The same two rounds one after the other, again and again: on a machine
// whose speed drifts (a shared host), each daemon round is set against the
// bare round just before it. Reports the median of these ratios (daemon
// pages per second over bare pages per second) and of either rate. The
// second argument is the number of clients sharing the eight pages: with
// two, no request finds both workers busy, which shows what the refusals
// and the pauses before the next request cost eight clients.
void BM_EightPagesAgainstBareGs(benchmark::State& state) {
    DaemonProcess d(2);
    std::atomic<long> serial{0}, refusals{0};
    std::vector<double> bare, daemon, ratios;
    for (auto _ : state) {
        auto t0 = std::chrono::steady_clock::now();
        bareRound();
        auto t1 = std::chrono::steady_clock::now();
        clientRound(d, state.range(0), serial, refusals, static_cast<int>(state.range(1)));
        auto t2 = std::chrono::steady_clock::now();
        bare.push_back(8.0 / std::chrono::duration<double>(t1 - t0).count());
        daemon.push_back(8.0 / std::chrono::duration<double>(t2 - t1).count());
        ratios.push_back(daemon.back() / bare.back());
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        const size_t n = v.size();
        return n == 0 ? 0.0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    };
    state.counters["bare_pages_per_s"] = median(bare);
    state.counters["daemon_pages_per_s"] = median(daemon);
    state.counters["ratio"] = median(ratios);
    state.counters["refusals_per_page"] = static_cast<double>(refusals.load()) / (8.0 * static_cast<double>(ratios.size()));
}
BENCHMARK(BM_EightPagesAgainstBareGs)->ArgNames({"pause", "clients"})->Args({0, 8})->Args({1, 8})->Args({4, 8})->Args({0, 2})->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(25);

// An input whose blocks come slowly: two of them keep both workers busy
// downloading while another client asks. Passed by reference, as a client's
// file stream is.
class SlowStream : public IMimeInputStream {
public:
    explicit SlowStream(const std::string& name) : name_(Plume::String::newInstance(name)) {}
    void close() override {}
    double getTimestamp() override { return 0.0; }
    int64_t getStreamSize() override { return 3; }
    Plume::ObjPtr<Plume::String> getMimeType() override { return Plume::String::newInstance("image/hpgl"); }
    Plume::ObjPtr<Plume::String> getPrettyName() override { return name_; }
    Plume::ObjPtr<Plume::String> getUniqueName() override { return name_; }
    Plume::ObjPtr<Plume::ByteArray> readBlock(int32_t) override {
        std::this_thread::sleep_for(std::chrono::seconds(6));
        return Plume::ByteArray::newInstance(reinterpret_cast<const signed char*>("IN;"), 3);
    }

private:
    Plume::ObjPtr<Plume::String> name_;
};

// What one request costs that finds the pool full and is refused with a
// Timeout at once: the price of each retry of a waiting client.
void BM_RefusedRequest(benchmark::State& state) {
    DaemonProcess d(2);
    std::vector<std::thread> busy;
    for (int i = 0; i < 2; ++i)
        busy.emplace_back([&, i] {
            try {
                RendererClient c("tcp://127.0.0.1:" + std::to_string(d.port()));
                c->renderPngByResolution(Plume::makeObj<SlowStream>("slow" + std::to_string(i) + ".plt"), 72, true, 0,
                                         nullptr, nullptr);
            } catch (...) {
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RendererClient c("tcp://127.0.0.1:" + std::to_string(d.port()));
    long refused = 0, n = 0;
    const CpuTimes daemonBefore = cpuOf(d.pid());
    for (auto _ : state) {
        try {
            drain(*c->renderPngByResolution(letter("r" + std::to_string(n++) + ".pdf"), 150, true, 0, nullptr, nullptr));
        } catch (const ThrowableException&) {
            ++refused;
        }
    }
    state.counters["refused"] = static_cast<double>(refused);
    state.counters["daemon_cpu_us_per_request"] =
        1e6 * (cpuOf(d.pid()).self - daemonBefore.self) / static_cast<double>(std::max<long>(n, 1));
    for (auto& t : busy) t.join();
}
BENCHMARK(BM_RefusedRequest)->UseRealTime()->Unit(benchmark::kMicrosecond)->Iterations(1000)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
