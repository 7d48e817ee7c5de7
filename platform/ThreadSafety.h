#pragma once
// Clang's thread-safety analysis (-Wthread-safety): a lock is a capability,
// data names the lock that guards it, a function names the locks it needs
// held, takes or must not be called under, and the compiler checks every
// access and every call against that. The order of two locks one function
// nests is declared on the later one (ACQUIRED_AFTER) and checked wherever
// both are taken in one function body. Other compilers see nothing.
//
// The lock these annotate is tly::Mutex (platform/Mutex.h).

#if defined(__clang__)
#define TLY_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TLY_THREAD_ANNOTATION(x)
#endif

// On a lock type, and on a type that holds a lock for its own scope.
#define TLY_CAPABILITY(name) TLY_THREAD_ANNOTATION(capability(name))
#define TLY_SCOPED_CAPABILITY TLY_THREAD_ANNOTATION(scoped_lockable)

// On data: read or written only with the lock held (the pointer's target, for PT_).
#define TLY_GUARDED_BY(x) TLY_THREAD_ANNOTATION(guarded_by(x))
#define TLY_PT_GUARDED_BY(x) TLY_THREAD_ANNOTATION(pt_guarded_by(x))

// On a lock: the locks it is taken after, or before, when both are held.
#define TLY_ACQUIRED_AFTER(...) TLY_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define TLY_ACQUIRED_BEFORE(...) TLY_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))

// On functions: called with the lock held; never called with it held; takes,
// lets go of, or tries to take it (the first argument: the result that says it
// was taken).
#define TLY_REQUIRES(...) TLY_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TLY_EXCLUDES(...) TLY_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TLY_ACQUIRE(...) TLY_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TLY_RELEASE(...) TLY_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TLY_TRY_ACQUIRE(...) TLY_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TLY_ASSERT_CAPABILITY(x) TLY_THREAD_ANNOTATION(assert_capability(x))

// On a function that hands out a lock: which one it is.
#define TLY_RETURN_CAPABILITY(x) TLY_THREAD_ANNOTATION(lock_returned(x))

// Turns the analysis off for one function, for what it cannot follow. Say why
// beside each use.
#define TLY_NO_THREAD_SAFETY_ANALYSIS TLY_THREAD_ANNOTATION(no_thread_safety_analysis)
