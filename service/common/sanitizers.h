// sanitizers.h - which sanitizer instruments this build, for the service and its tests
// alike. The runtimes make system calls, hold mappings and descriptors and multiply
// memory of their own, and ThreadSanitizer holds a signal back until its next
// intercepted call; code that depends on any of that asks here.
#pragma once

// GCC names the sanitizers with macros of its own, clang through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define QEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QEL_ASAN 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
#define QEL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QEL_TSAN 1
#endif
#endif

#if defined(QEL_ASAN) || defined(QEL_TSAN)
#define QEL_SANITIZED 1
#endif

#ifdef __cplusplus
namespace qel {
#ifdef QEL_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#ifdef QEL_TSAN
inline constexpr bool kThreadSanitized = true;
#else
inline constexpr bool kThreadSanitized = false;
#endif
} // namespace qel
#endif
