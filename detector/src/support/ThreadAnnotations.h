// Clang's thread-safety attributes, as macros that vanish on other compilers.
//
// With clang and -Wthread-safety the compiler checks that every member marked
// KORVA_GUARDED_BY is touched only while its capability is held, and that
// functions marked KORVA_REQUIRES are called with it held.
#pragma once

#if defined(__clang__)
#define KORVA_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define KORVA_THREAD_ATTRIBUTE(x)
#endif

#define KORVA_CAPABILITY(name) KORVA_THREAD_ATTRIBUTE(capability(name))
#define KORVA_SCOPED_CAPABILITY KORVA_THREAD_ATTRIBUTE(scoped_lockable)
#define KORVA_GUARDED_BY(x) KORVA_THREAD_ATTRIBUTE(guarded_by(x))
#define KORVA_PT_GUARDED_BY(x) KORVA_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define KORVA_REQUIRES(...) KORVA_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define KORVA_REQUIRES_SHARED(...) KORVA_THREAD_ATTRIBUTE(requires_shared_capability(__VA_ARGS__))
#define KORVA_ACQUIRE(...) KORVA_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define KORVA_ACQUIRE_SHARED(...) KORVA_THREAD_ATTRIBUTE(acquire_shared_capability(__VA_ARGS__))
#define KORVA_RELEASE(...) KORVA_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define KORVA_RELEASE_SHARED(...) KORVA_THREAD_ATTRIBUTE(release_shared_capability(__VA_ARGS__))
#define KORVA_EXCLUDES(...) KORVA_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define KORVA_RETURN_CAPABILITY(x) KORVA_THREAD_ATTRIBUTE(lock_returned(x))
#define KORVA_NO_THREAD_SAFETY_ANALYSIS KORVA_THREAD_ATTRIBUTE(no_thread_safety_analysis)
