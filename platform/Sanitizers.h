#pragma once
// Which sanitizer a translation unit is built with: GCC says it with macros, clang with features.
// BREVANT_UNDER_TSAN and BREVANT_UNDER_ASAN are defined (as 1) under ThreadSanitizer and
// AddressSanitizer.
#if defined(__SANITIZE_THREAD__)
#define BREVANT_UNDER_TSAN 1
#endif
#if defined(__SANITIZE_ADDRESS__)
#define BREVANT_UNDER_ASAN 1
#endif
#if defined(__has_feature)
#if __has_feature(thread_sanitizer) && !defined(BREVANT_UNDER_TSAN)
#define BREVANT_UNDER_TSAN 1
#endif
#if __has_feature(address_sanitizer) && !defined(BREVANT_UNDER_ASAN)
#define BREVANT_UNDER_ASAN 1
#endif
#endif
