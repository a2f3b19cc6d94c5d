// Allocation failures on demand. The test programs that link
// alloc_failure.cpp replace the global operator new (all forms but the
// aligned ones): while a FailAllocation is alive, the chosen allocation of
// the calling thread throws std::bad_alloc (the nothrow forms return NULL)
// and every other allocation succeeds. Other threads are never affected.
#ifndef HPGS_TEST_ALLOC_FAILURE_H
#define HPGS_TEST_ALLOC_FAILURE_H

#include <filesystem>

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
