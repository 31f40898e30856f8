#pragma once

// Which lock guards which member, stated where Clang's thread-safety analysis (-Wthread-safety)
// checks it. Other compilers see nothing.

#if defined(__clang__)
#define QUINDLE_TSA(x) __attribute__((x))
#else
#define QUINDLE_TSA(x)
#endif

// A type whose objects are locks.
#define CAPABILITY(name) QUINDLE_TSA(capability(name))
// An object that holds a lock for its lifetime.
#define SCOPED_CAPABILITY QUINDLE_TSA(scoped_lockable)
// A member read or written only with the lock held.
#define GUARDED_BY(lock) QUINDLE_TSA(guarded_by(lock))
// A function called only with the lock held / only without it.
#define REQUIRES(...) QUINDLE_TSA(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QUINDLE_TSA(locks_excluded(__VA_ARGS__))
// A function that takes / lets go of the lock.
#define ACQUIRE(...) QUINDLE_TSA(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUINDLE_TSA(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QUINDLE_TSA(try_acquire_capability(__VA_ARGS__))
// Outside the analysis: a function whose locking it cannot follow.
#define NO_THREAD_SAFETY_ANALYSIS QUINDLE_TSA(no_thread_safety_analysis)
