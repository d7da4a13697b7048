#pragma once

#include "mornik/base/Export.hpp"

MORNIK_EXPORTS_BEGIN

// Wrappers for clang's thread-safety attributes. Under clang with
// -Wthread-safety (the library's own clang builds) the compiler checks that
// guarded members are touched only with their lock held; elsewhere the macros
// expand to nothing.

#if defined(__clang__)
#define MORNIK_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define MORNIK_THREAD_ANNOTATION(x)
#endif

#define MORNIK_CAPABILITY(x) MORNIK_THREAD_ANNOTATION(capability(x))
#define MORNIK_SCOPED_CAPABILITY MORNIK_THREAD_ANNOTATION(scoped_lockable)
#define MORNIK_GUARDED_BY(x) MORNIK_THREAD_ANNOTATION(guarded_by(x))
#define MORNIK_PT_GUARDED_BY(x) MORNIK_THREAD_ANNOTATION(pt_guarded_by(x))
#define MORNIK_REQUIRES(...) MORNIK_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define MORNIK_ACQUIRE(...) MORNIK_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define MORNIK_RELEASE(...) MORNIK_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define MORNIK_TRY_ACQUIRE(...) MORNIK_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define MORNIK_EXCLUDES(...) MORNIK_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define MORNIK_RETURN_CAPABILITY(x) MORNIK_THREAD_ANNOTATION(lock_returned(x))
#define MORNIK_NO_THREAD_SAFETY_ANALYSIS MORNIK_THREAD_ANNOTATION(no_thread_safety_analysis)

MORNIK_EXPORTS_END
