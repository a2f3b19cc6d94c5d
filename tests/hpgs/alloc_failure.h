// Allocation failures on demand. The test programs that link
// alloc_failure.cpp replace the global operator new (all forms but the
// aligned ones): while a FailAllocation is alive, the chosen allocation of
// the calling thread throws std::bad_alloc (the nothrow forms return NULL)
// and every other allocation succeeds. Other threads are never affected.
#ifndef HPGS_TEST_ALLOC_FAILURE_H
#define HPGS_TEST_ALLOC_FAILURE_H

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

namespace alloc_failure {

class FailAllocation {
 public:
  // Allocation number n of this thread, counted from 0 at construction,
  // fails.
  explicit FailAllocation(long n);
  ~FailAllocation();
  FailAllocation(const FailAllocation &) = delete;
  FailAllocation &operator=(const FailAllocation &) = delete;
  // Whether the chosen allocation has happened (and failed).
  bool fired() const;
};

// Runs call() with its allocation n failing, for n = 0, 1, ... until a
// call no longer reaches allocation n, and hands each result to
// check(result, fired, n) outside the failing scope, so that the checks
// may allocate. With dense_until, allocations after that many are tried
// at a growing stride (every n / dense_until-th), for calls that make
// thousands. Returns the number of allocations the call made.
template <class Call, class Check>
long each_failing_allocation(Call &&call, Check &&check, long dense_until = -1) {
  for (long n = 0; n < 1000000;) {
    bool fired = false;
    auto result = [&] {
      FailAllocation fail(n);
      auto r = call();
      fired = fail.fired();
      return r;
    }();
    check(std::move(result), fired, n);
    if (!fired) return n;
    n += dense_until > 0 && n > dense_until ? n / dense_until : 1;
  }
  ADD_FAILURE() << "the call never stopped allocating";
  return -1;
}

// The number of open file descriptors of this process.
inline long open_fds() {
  long n = 0;
  for (const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)e;
    ++n;
  }
  return n;
}

}  // namespace alloc_failure

#endif
