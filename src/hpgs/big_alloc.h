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

// Like malloc; NULL when out of memory. Release with std::free.
inline void *big_alloc(size_t bytes) {
  if (bytes < kHugePage) return std::malloc(bytes ? bytes : 1);
  void *p = nullptr;
  if (posix_memalign(&p, kHugePage, bytes) != 0) return nullptr;
#ifdef MADV_HUGEPAGE
  // Only whole huge pages; advice that is not followed changes nothing.
  madvise(p, bytes / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
  return p;
}

struct FreeDeleter {
  void operator()(void *p) const { std::free(p); }
};

}  // namespace hpgs

#endif
