// The radix-2 transform that FFTImage's layout is defined by, written out
// step by step: a two-dimensional complex FFT over H rows of W/2 complex
// values (bit-reversal reordering, butterflies whose twiddle factors follow
// the recurrence w <- w + w * (-2 sin^2(theta/2) + i sin theta)) and the
// split into the spectrum of real data with the factors 0.5 and -/+0.5.
//
// It is slower than the FFTW path FFTImage runs on and exists to check that
// path: tests compare the two, the benchmark reports both. Not part of the
// imaging library; internal to tests and benchmarks.
//
// Thread-safety: pure functions on the caller's arrays.
#pragma once

#include <cstddef>

namespace Xadra::fftref {

// Transforms data (w x h doubles, row-major) and nyquist (2 x h doubles) in
// place into (forward) or out of (backward) FFTImage's transformed layout,
// with the same scaling: a forward and a backward call multiply by w * h / 2.
// w and h must be powers of two, at least 2 (not checked).
void transform(double* data, double* nyquist, unsigned w, unsigned h, bool forward);

// In-place radix-2 FFT of n complex values (interleaved real, imaginary)
// spaced stride complex values apart; sign +1 computes sum c(j) exp(+2 pi i jk/n).
void complexFft(double* c, unsigned n, size_t stride, int sign);

}  // namespace Xadra::fftref
