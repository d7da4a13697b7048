#pragma once

// Stress tests scale their iteration counts down under ThreadSanitizer (which
// slows code by 5-15x) instead of skipping it.
#if defined(__SANITIZE_THREAD__)
#define MORNIK_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MORNIK_TEST_TSAN 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__)
#define MORNIK_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MORNIK_TEST_ASAN 1
#endif
#endif

namespace mornik::test {

#if defined(MORNIK_TEST_ASAN)
inline constexpr bool kUnderAddressSanitizer = true;
#else
inline constexpr bool kUnderAddressSanitizer = false;
#endif

#if defined(MORNIK_TEST_TSAN)
inline constexpr bool kUnderThreadSanitizer = true;
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif

// `normal` iterations, or a tenth of them under ThreadSanitizer.
constexpr int scaled(int normal) { return kUnderThreadSanitizer ? normal / 10 : normal; }

}  // namespace mornik::test
