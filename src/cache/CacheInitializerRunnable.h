// The background scan that reads every cache subdirectory back into the index
// at start-up, and the per-subdirectory scan states that lookups consult to
// scan their own subdirectory first.
//
// Thread-safety: states and finished are guarded by the owning cache's lock;
// run() takes that lock once per subdirectory and scans outside it.
// Ownership: created and held by HPGSRendererCache, which outlives the thread
// (shutdown joins it). run() throws Xadra::Exception when the process is
// stopping; the thread logs it and ends.
#pragma once

#include "plume/Thread.h"

#include <array>
#include <cstdint>

namespace Xadra {

class HPGSRendererCache;

class CacheInitializerRunnable : public Plume::Runnable {
public:
    explicit CacheInitializerRunnable(HPGSRendererCache& cache) : cache_(cache) {}

    // Scans subdirectories 00 to ff in order (a subdirectory that fails is
    // logged and skipped), then sorts the age queue by modification time and
    // sets finished.
    void run() override;

    // Both guarded by the cache's lock_; the cache reaches them through its
    // initializer_, which is GUARDED_BY that lock, so the analysis checks
    // the cache's side. (An annotation here would name the same mutex
    // through cache_, an alias the analysis cannot match.)
    // One HPGSRendererCache::SubdirState per subdirectory.
    std::array<int32_t, 256> states{};
    // Every subdirectory was visited and the age queue sorted.
    bool finished = false;

private:
    HPGSRendererCache& cache_;
};

}  // namespace Xadra
