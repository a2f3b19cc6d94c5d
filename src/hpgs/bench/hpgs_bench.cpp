// Throughput of parsing plus plot-size measurement.
#include "hpgs.h"
#include "hpgs_ptr.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

namespace {

void encode(std::string &out, int64_t n) {
  uint64_t v = n >= 0 ? static_cast<uint64_t>(n) * 2 : static_cast<uint64_t>(-n) * 2 + 1;
  while (v > 63) {
    out.push_back(static_cast<char>(63 + (v & 63)));
    v >>= 6;
  }
  out.push_back(static_cast<char>(191 + v));
}

// A plot of `segments` pen-down PE segments in PE commands of 1000 pairs,
// drawn as a slowly turning zig-zag.
std::string pe_plot(int segments) {
  std::string s = "IN;SP1;PW0.25;PU0,0;";
  int done = 0;
  while (done < segments) {
    s += "PE";
    for (int i = 0; i < 1000 && done < segments; ++i, ++done) {
      encode(s, (done % 7) * 13 - 39);
      encode(s, ((done / 7) % 5) * 11 - 22);
    }
    s += ";";
  }
  s += "PG;";
  return s;
}

void read_plotsize(benchmark::State &state, const std::string &data, double segments) {
  for (auto _ : state) {
    hpgs_istream *in = hpgs_new_mem_istream(data.data(), data.size(), HPGS_FALSE);
    hpgs_device *dev = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
    const hpgs::UniqueReader r(hpgs_new_reader(in, dev, HPGS_FALSE, 0));  // owns in and dev
    if (hpgs_read(r.get(), HPGS_TRUE) != 0) state.SkipWithError(hpgs_get_error());
    hpgs_bbox bb;
    hpgs_getplotsize(dev, 1, &bb);
    benchmark::DoNotOptimize(bb);
  }
  state.counters["segments/s"] = benchmark::Counter(segments, benchmark::Counter::kIsIterationInvariantRate);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}

void BM_PeSegmentsPlotSize(benchmark::State &state) {
  static const std::string data = pe_plot(1000000);
  read_plotsize(state, data, 1e6);
}
BENCHMARK(BM_PeSegmentsPlotSize)->Unit(benchmark::kMillisecond);

void BM_HarmonographFilePlotSize(benchmark::State &state) {
  static const std::string data = [] {
    std::ifstream f(std::string(XAD_TEST_DATA) + "/hpgl/pu_big_harmonograph.hpgl", std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }();
  if (data.empty()) {
    state.SkipWithError("sample file not found");
    return;
  }
  read_plotsize(state, data, 199999);
}
BENCHMARK(BM_HarmonographFilePlotSize)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
