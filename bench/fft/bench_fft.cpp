// A forward and a backward transform of a 1024 x 1024 image of random values:
//
//   BM_FFTImage                 FFTImage::transform + inverseTransform (the
//                               process's cached plans, FFTW_MEASURE)
//   BM_FFTImagePlans/<flags>    the same transforms on fresh plans made from
//                               no wisdom with FFTW_ESTIMATE (64) or
//                               FFTW_MEASURE (0)
//   BM_BareFftw/<flags>         FFTW alone: a two-dimensional r2c and c2r
//                               pair, out of place, plans made once from
//                               no wisdom, without a time limit
//   BM_Radix2Reference          the radix-2 reference transform, for scale
//   BM_MakePlans/<flags>        making one size's plans from no wisdom
//
// The layout's overhead is BM_FFTImage against BM_BareFftw/0 (measured
// plans); BM_FFTImagePlans/0 against /64 is what FFTW_MEASURE would buy
// FFTImage, BM_MakePlans/0 what it would cost once per size. The input is
// restored outside the timing before each pair (a pair scales by W*H/2).
// Run with --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true
// so that a changing load spreads over all of them; on a loaded host compare
// the CPU column.
#include "imaging/FFTImage.h"
#include "imaging/FFTPlans.h"
#include "imaging/FFTReference.h"

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

constexpr unsigned kSide = 1024;
constexpr size_t kCount = size_t(kSide) * kSide;

const std::vector<double>& input() {
    static const std::vector<double> values = [] {
        std::mt19937 gen(7);
        std::uniform_real_distribution<double> dist(0.0, 1.0);
        std::vector<double> v(kCount);
        for (double& x : v) x = dist(gen);
        return v;
    }();
    return values;
}


void restore(benchmark::State& state, double* data) {
    state.PauseTiming();
    std::memcpy(data, input().data(), kCount * sizeof(double));
    state.ResumeTiming();
}

void BM_FFTImage(benchmark::State& state) {
    Xadra::FFTImage img;
    img.init(kSide, kSide);
    img.transform();  // plans made before the timing
    img.inverseTransform();
    for (auto _ : state) {
        restore(state, img.data());
        img.transform();
        img.inverseTransform();
        benchmark::DoNotOptimize(img.data()[1]);
    }
}

void BM_FFTImagePlans(benchmark::State& state) {
    const auto flags = unsigned(state.range(0));
    // Estimated plans would otherwise reuse what measuring taught the planner.
    Xadra::fft::forgetWisdom();
    Xadra::fft::Plans plans = Xadra::fft::makePlans(kSide, kSide, flags, Xadra::fft::kPlanTimeLimit);
    Xadra::AlignedDoubles data = Xadra::allocateDoubles(kCount);
    Xadra::AlignedDoubles nyquist = Xadra::allocateDoubles(2 * kSide);
    for (auto _ : state) {
        restore(state, data.get());
        Xadra::fft::forward(plans, data.get(), nyquist.get(), kSide, kSide);
        Xadra::fft::backward(plans, data.get(), nyquist.get(), kSide, kSide);
        benchmark::DoNotOptimize(data[1]);
    }
}

void BM_BareFftw(benchmark::State& state) {
    const auto flags = unsigned(state.range(0));
    Xadra::AlignedDoubles real = Xadra::allocateDoubles(kCount);
    Xadra::AlignedDoubles spectrumValues = Xadra::allocateDoubles(2 * size_t(kSide) * (kSide / 2 + 1));
    auto* spectrum = reinterpret_cast<fftw_complex*>(spectrumValues.get());
    Xadra::fft::forgetWisdom();
    fftw_set_timelimit(FFTW_NO_TIMELIMIT);
    fftw_plan r2c = fftw_plan_dft_r2c_2d(kSide, kSide, real.get(), spectrum, flags);
    fftw_plan c2r = fftw_plan_dft_c2r_2d(kSide, kSide, spectrum, real.get(), flags);
    for (auto _ : state) {
        restore(state, real.get());
        fftw_execute(r2c);
        fftw_execute(c2r);
        benchmark::DoNotOptimize(real[1]);
    }
    fftw_destroy_plan(r2c);
    fftw_destroy_plan(c2r);
}

void BM_Radix2Reference(benchmark::State& state) {
    std::vector<double> data(kCount), nyquist(2 * kSide);
    for (auto _ : state) {
        restore(state, data.data());
        Xadra::fftref::transform(data.data(), nyquist.data(), kSide, kSide, true);
        Xadra::fftref::transform(data.data(), nyquist.data(), kSide, kSide, false);
        benchmark::DoNotOptimize(data[1]);
    }
}

void BM_MakePlans(benchmark::State& state) {
    const auto flags = unsigned(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        Xadra::fft::forgetWisdom();
        state.ResumeTiming();
        Xadra::fft::Plans plans = Xadra::fft::makePlans(kSide, kSide, flags, Xadra::fft::kPlanTimeLimit);
        benchmark::DoNotOptimize(plans.rowForward.get());
    }
}

}  // namespace

BENCHMARK(BM_FFTImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BareFftw)->Arg(FFTW_MEASURE)->Arg(FFTW_ESTIMATE)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FFTImagePlans)->Arg(FFTW_MEASURE)->Arg(FFTW_ESTIMATE)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Radix2Reference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MakePlans)
    ->Arg(FFTW_MEASURE)
    ->Arg(FFTW_ESTIMATE)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->Repetitions(3);

BENCHMARK_MAIN();
