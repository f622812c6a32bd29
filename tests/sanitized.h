// TIMETREE_SANITIZED is defined when the tests are built under AddressSanitizer
// or ThreadSanitizer, by g++ (which names them with macros) or clang (which
// answers __has_feature).
#ifndef TIMETREE_TESTS_SANITIZED_H
#define TIMETREE_TESTS_SANITIZED_H

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TIMETREE_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TIMETREE_SANITIZED 1
#endif
#endif

#endif  // TIMETREE_TESTS_SANITIZED_H
