// The replaced global operator new behind alloc_failure.h. Memory comes from
// malloc and goes back to free in every form, so that the sanitizers see
// matching pairs.
#include "alloc_failure.h"

#include <cstdlib>
#include <new>

namespace {

// Allocations of this thread still to go before the failing one; -1: none
// armed. fired: the armed one has failed.
thread_local long t_countdown = -1;
thread_local bool t_fired = false;

void *allocate(std::size_t n) {
  if (t_countdown >= 0 && t_countdown-- == 0) {
    t_fired = true;
    return nullptr;
  }
  return std::malloc(n ? n : 1);
}

void *allocate_or_throw(std::size_t n) {
  void *p = allocate(n);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace alloc_failure {

FailAllocation::FailAllocation(long n) {
  t_fired = false;
  t_countdown = n;
}
FailAllocation::~FailAllocation() { t_countdown = -1; }
bool FailAllocation::fired() const { return t_fired; }

}  // namespace alloc_failure

void *operator new(std::size_t n) { return allocate_or_throw(n); }
void *operator new[](std::size_t n) { return allocate_or_throw(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return allocate(n); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return allocate(n); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
