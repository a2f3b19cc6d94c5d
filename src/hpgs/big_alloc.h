// Large blocks (rasters, display list blocks) in 2 MiB aligned memory that
// the kernel may back with huge pages: a fresh raster or list is otherwise
// touched 4 KiB page by page, and on virtual machines each of those page
// faults costs several microseconds (measured: about a seventh of the time
// of a million-vector render went to faults).
#ifndef HPGS_BIG_ALLOC_H
#define HPGS_BIG_ALLOC_H

#include <cstddef>
#include <cstdlib>
#include <memory>

#include <sys/mman.h>

namespace hpgs {

constexpr size_t kHugePage = size_t{2} << 20;
// From this size on a block is rounded up to whole huge pages. A huge page
// costs one fault and the zeroing of 2 MiB (about 0.2 ms measured on this
// kind of machine); the 64 small pages of 256 KiB cost about 1 ms in faults.
// Memory is only resident where touched, so the rounding costs at most one
// huge page per block.
constexpr size_t kHugeFrom = size_t{256} << 10;

// Like malloc; NULL when out of memory. Release with std::free.
inline void *big_alloc(size_t bytes) {
  if (bytes < kHugeFrom) return std::malloc(bytes ? bytes : 1);
  const size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  void *p = nullptr;
  if (posix_memalign(&p, kHugePage, whole) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
  // Advice that is not followed changes nothing.
  madvise(p, whole, MADV_HUGEPAGE);
#endif
  return p;
}

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};

}  // namespace hpgs

#endif
