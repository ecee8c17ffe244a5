#pragma once

// Clang's thread-safety annotations, spelled once for the whole library.
//
// A member guarded by a lock says so, and the compiler checks every access:
//
//   platform::CriticalSection m_cs;
//   std::deque<Call> m_queue BRIM_GUARDED_BY(m_cs);
//   void TakeLocked() BRIM_REQUIRES(m_cs);
//
// Clang with -Wthread-safety proves them; other compilers see nothing.

#if defined(__clang__)
#define BRIM_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define BRIM_THREAD_ANNOTATION(x)
#endif

#define BRIM_CAPABILITY(name) BRIM_THREAD_ANNOTATION(capability(name))
#define BRIM_SCOPED_CAPABILITY BRIM_THREAD_ANNOTATION(scoped_lockable)
#define BRIM_GUARDED_BY(lock) BRIM_THREAD_ANNOTATION(guarded_by(lock))
#define BRIM_PT_GUARDED_BY(lock) BRIM_THREAD_ANNOTATION(pt_guarded_by(lock))
#define BRIM_ACQUIRED_BEFORE(...) BRIM_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define BRIM_ACQUIRED_AFTER(...) BRIM_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define BRIM_REQUIRES(...) BRIM_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define BRIM_ACQUIRE(...) BRIM_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define BRIM_RELEASE(...) BRIM_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define BRIM_TRY_ACQUIRE(...) BRIM_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define BRIM_EXCLUDES(...) BRIM_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define BRIM_RETURN_CAPABILITY(x) BRIM_THREAD_ANNOTATION(lock_returned(x))
#define BRIM_NO_THREAD_SAFETY_ANALYSIS BRIM_THREAD_ANNOTATION(no_thread_safety_analysis)
