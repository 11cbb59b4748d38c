// sanitizers.h - whether this build is instrumented by AddressSanitizer or
// ThreadSanitizer, whose runtimes multiply memory and hold descriptors of their own:
// the checks of memory bounds and descriptor limits hold only without them.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QEL_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QEL_TEST_SANITIZED 1
#endif
#endif

#ifdef QEL_TEST_SANITIZED
#undef QEL_TEST_SANITIZED
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
