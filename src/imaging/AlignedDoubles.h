// Owned arrays of doubles aligned to 64 bytes, for FFTW.
//
// FFTW's SIMD code needs at most 64-byte alignment, so every such array has
// the alignment FFTW plans for, and a plan made on one applies to any
// other. They come from the C++ allocator, which any thread may call at
// any time (fftw_malloc is not among the routines FFTW calls thread-safe).
#pragma once

#include <cstddef>
#include <memory>
#include <new>

namespace Xadra {

constexpr std::size_t kFftAlignment = 64;

struct AlignedFree {
    void operator()(double* p) const noexcept { ::operator delete[](p, std::align_val_t(kFftAlignment)); }
};
using AlignedDoubles = std::unique_ptr<double[], AlignedFree>;

// count doubles, not initialised; throws std::bad_alloc.
inline AlignedDoubles allocateDoubles(std::size_t count) {
    return AlignedDoubles(
        static_cast<double*>(::operator new[](count * sizeof(double), std::align_val_t(kFftAlignment))));
}

}  // namespace Xadra
