// FFTW plans for FFTImage's transforms, made once per image size and kept
// for the life of the process, and the two transforms that run them.
//
// A size's plans: the real-to-complex and complex-to-real transforms of one
// row of W values (out of place, into and out of a row buffer of W/2 + 1
// complex values), the in-place complex transforms of a block of
// columnBlock(W) columns of H complex values copied out of the image into a
// buffer (row after row, so the block's columns are columnBlock(W) values
// apart), and of the Nyquist column, each in both directions. They are executed with FFTW's new-array functions on any
// image's arrays from allocateDoubles (AlignedDoubles.h); rows of images
// narrower than that alignment get plans that do not rely on it.
//
// Thread-safety: plansFor may be called from any thread. FFTW's planner is
// not thread-safe, so every plan is made and destroyed under one
// process-wide lock; a size being planned makes only the callers of that
// size wait. Executing the plans with the new-array functions is
// thread-safe in FFTW.
//
// Errors: std::runtime_error naming the size when FFTW makes no plan (it
// does for every power-of-two size); std::bad_alloc.
#pragma once

#include "imaging/AlignedDoubles.h"

#include <fftw3.h>

#include <memory>
#include <type_traits>

namespace Xadra::fft {

struct PlanDestroy {
    void operator()(fftw_plan p) const noexcept;
};
using UniquePlan = std::unique_ptr<std::remove_pointer_t<fftw_plan>, PlanDestroy>;

struct Plans {
    UniquePlan rowForward;       // r2c, W reals -> W/2 + 1 complex (sign -)
    UniquePlan rowBackward;      // c2r, W/2 + 1 complex -> W reals (sign +)
    UniquePlan columnsForward;   // a block of columns of H, in place, sign +
    UniquePlan columnsBackward;  // the same, sign -
    UniquePlan nyquistForward;   // H complex, in place, sign +
    UniquePlan nyquistBackward;  // the same, sign -
};

// The planner flags plansFor uses (see FFTImage.h for the choice) and
// the planning time limit per plan, in seconds.
constexpr unsigned kPlannerFlags = FFTW_MEASURE;
constexpr double kPlanTimeLimit = 1.0;

// Complex columns transformed together: the image's W/2 columns are
// copied out in blocks of this many, so that a block (32 x H complex
// values, 512 KiB at H = 1024) stays in the processor's cache while it is
// transformed instead of being walked at the stride of an image row.
constexpr unsigned kColumnBlock = 32;
inline unsigned columnBlock(unsigned w) { return w / 2 < kColumnBlock ? w / 2 : kColumnBlock; }

// The cached plans of a w x h image (both powers of two, at least 2).
const Plans& plansFor(unsigned w, unsigned h);

// Fresh plans with the given flags and time limit (< 0: none), not cached;
// for benchmarks comparing planner flags.
Plans makePlans(unsigned w, unsigned h, unsigned flags, double timeLimit);

// Drops what the planner has learnt so far (plans already made keep
// working), so that a benchmark can time planning from scratch.
void forgetWisdom();

// FFTImage's forward and backward transforms of a w x h image in place
// (layout and scaling in FFTImage.h) with plans of that size. data (w x h)
// and nyquist (2 x h) must come from allocateDoubles. Thread-safe for
// different arrays.
void forward(const Plans& plans, double* data, double* nyquist, unsigned w, unsigned h);
void backward(const Plans& plans, double* data, double* nyquist, unsigned w, unsigned h);

}  // namespace Xadra::fft
