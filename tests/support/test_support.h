// Helpers shared by the unit tests. What the log facility writes is read
// with GoogleTest's own capture of the standard error descriptor
// (testing::internal::CaptureStderr and GetCapturedStderr).
#ifndef TESTS_SUPPORT_TEST_SUPPORT_H_
#define TESTS_SUPPORT_TEST_SUPPORT_H_

#include <string>

// Number of occurrences of `needle` in `haystack`.
inline int count_of(const std::string& haystack, const std::string& needle) {
    int count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + 1))
        ++count;
    return count;
}

#endif  // TESTS_SUPPORT_TEST_SUPPORT_H_
