// Lock annotations for clang's thread-safety analysis (-Wthread-safety).
// Other compilers see nothing. Plume::Mutex is the annotated capability;
// data members say which mutex guards them, functions which mutexes they
// need held (REQUIRES) or must not hold (EXCLUDES), so that the compiler
// checks the lock discipline that comments used to state.
#pragma once

#if defined(__clang__)
#define PLUME_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define PLUME_THREAD_ANNOTATION(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(x) PLUME_THREAD_ANNOTATION(capability(x))
// An RAII type that holds a lock for its lifetime.
#define SCOPED_CAPABILITY PLUME_THREAD_ANNOTATION(scoped_lockable)

// Data member readable and writable only with the mutex held.
#define GUARDED_BY(x) PLUME_THREAD_ANNOTATION(guarded_by(x))
// Pointer member whose pointee is guarded by the mutex.
#define PT_GUARDED_BY(x) PLUME_THREAD_ANNOTATION(pt_guarded_by(x))

// Lock order: this mutex is taken before / after the named ones.
#define ACQUIRED_BEFORE(...) PLUME_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) PLUME_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))

// The caller holds the mutexes (exclusively).
#define REQUIRES(...) PLUME_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
// The caller must not hold the mutexes (the function takes them).
#define EXCLUDES(...) PLUME_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

#define ACQUIRE(...) PLUME_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) PLUME_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) PLUME_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// Tells the analysis that the mutex is held at this point (checked at run
// time by the caller's own logic, not by the compiler).
#define ASSERT_CAPABILITY(x) PLUME_THREAD_ANNOTATION(assert_capability(x))
// The function returns a reference to the mutex.
#define RETURN_CAPABILITY(x) PLUME_THREAD_ANNOTATION(lock_returned(x))

// Turns the analysis off for one function: for code whose locking the
// analysis cannot follow; say why next to it.
#define NO_THREAD_SAFETY_ANALYSIS PLUME_THREAD_ANNOTATION(no_thread_safety_analysis)
