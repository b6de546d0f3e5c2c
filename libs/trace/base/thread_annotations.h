// Capability annotations for clang's -Wthread-safety analysis. Under any other compiler they
// expand to nothing, so they cost nothing and change no behaviour; under clang the build with
// -Wthread-safety -Werror turns a field read without its lock, a lock taken twice against the
// declared order or a function called without the lock it requires into a compile error.
//
// Usage: mark a lock type with TR_CAPABILITY("mutex"), each guarded field with
// TR_GUARDED_BY(lock) (or TR_PT_GUARDED_BY for what a pointer points to), functions that expect
// the caller to hold a lock with TR_REQUIRES(lock), and lock order with TR_ACQUIRED_AFTER.
#ifndef TRACE_BASE_THREAD_ANNOTATIONS_H_
#define TRACE_BASE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define TR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TR_THREAD_ANNOTATION(x)
#endif

#define TR_CAPABILITY(name) TR_THREAD_ANNOTATION(capability(name))
#define TR_SCOPED_CAPABILITY TR_THREAD_ANNOTATION(scoped_lockable)
#define TR_GUARDED_BY(lock) TR_THREAD_ANNOTATION(guarded_by(lock))
#define TR_PT_GUARDED_BY(lock) TR_THREAD_ANNOTATION(pt_guarded_by(lock))
#define TR_ACQUIRED_AFTER(...) TR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define TR_ACQUIRED_BEFORE(...) TR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define TR_REQUIRES(...) TR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define TR_EXCLUDES(...) TR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define TR_ACQUIRE(...) TR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define TR_RELEASE(...) TR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TR_TRY_ACQUIRE(...) TR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define TR_ASSERT_CAPABILITY(lock) TR_THREAD_ANNOTATION(assert_capability(lock))
#define TR_RETURN_CAPABILITY(lock) TR_THREAD_ANNOTATION(lock_returned(lock))
// For the few functions whose locking the analysis cannot follow (a lock released and taken
// again around a wait inside a scoped guard, or a lock taken on one path only); each use says
// why next to it.
#define TR_NO_THREAD_SAFETY_ANALYSIS TR_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // TRACE_BASE_THREAD_ANNOTATIONS_H_
