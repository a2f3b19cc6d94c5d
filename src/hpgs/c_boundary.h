// Exceptions stop at the C interface. The library is C++ inside, and its
// allocations (strings, vectors, display lists) may throw; every function a
// C caller can reach, the entry points of hpgs.h and the functions of the
// library's device and stream tables, runs what may throw through one of
// these, so that a failure becomes the function's documented failure value
// with its message in the error slot.
#ifndef HPGS_C_BOUNDARY_H
#define HPGS_C_BOUNDARY_H

#include "hpgs.h"

namespace hpgs {

// Called inside a catch block: sets the error slot from the exception being
// handled ("WHAT: out of memory." for std::bad_alloc, "WHAT: <what()>." for
// other standard exceptions) and returns -1. Never throws.
int fail_from_exception(const char *what) noexcept;

// body() or, when it throws, -1 with the error slot set.
template <class Body>
int guard(const char *what, Body &&body) noexcept {
  try {
    return body();
  } catch (...) {
    return fail_from_exception(what);
  }
}

// The same for a body returning a pointer: NULL when it throws.
template <class Body>
auto guard_ptr(const char *what, Body &&body) noexcept -> decltype(body()) {
  try {
    return body();
  } catch (...) {
    fail_from_exception(what);
    return nullptr;
  }
}

// A device function for a device table: F itself, except that an
// exception becomes the call's failure (-1, the message naming the
// device's type). device_guard<F> is the function to put in the table.
template <auto F>
struct DeviceGuard;
template <class... Args, int (*F)(hpgs_device *, Args...)>
struct DeviceGuard<F> {
  static int call(hpgs_device *d, Args... args) noexcept {
    try {
      return F(d, args...);
    } catch (...) {
      return fail_from_exception(d->vtable->rtti);
    }
  }
};
template <auto F>
inline constexpr auto device_guard = &DeviceGuard<F>::call;

}  // namespace hpgs

#endif
