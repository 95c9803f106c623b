#pragma once

// Clang's -Wthread-safety attributes; they compile away elsewhere.
#if defined(__clang__)
#define VELKOR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VELKOR_THREAD_ANNOTATION(x)
#endif

#define VELKOR_CAPABILITY(x) VELKOR_THREAD_ANNOTATION(capability(x))
#define VELKOR_SCOPED_CAPABILITY VELKOR_THREAD_ANNOTATION(scoped_lockable)
#define VELKOR_GUARDED_BY(x) VELKOR_THREAD_ANNOTATION(guarded_by(x))
#define VELKOR_PT_GUARDED_BY(x) VELKOR_THREAD_ANNOTATION(pt_guarded_by(x))
#define VELKOR_ACQUIRED_BEFORE(...) VELKOR_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define VELKOR_ACQUIRED_AFTER(...) VELKOR_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define VELKOR_REQUIRES(...) VELKOR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VELKOR_ACQUIRE(...) VELKOR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VELKOR_RELEASE(...) VELKOR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define VELKOR_EXCLUDES(...) VELKOR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define VELKOR_NO_THREAD_SAFETY_ANALYSIS VELKOR_THREAD_ANNOTATION(no_thread_safety_analysis)
