// StderrCapture: points file descriptor 2 at a temporary file for the life
// of the object, so a test can read what the log facility wrote. The
// standard error stream itself stays the same FILE; only its descriptor is
// swapped, so the code under test sees no difference.
//
// One capture at a time per process; not for use from several threads.
#ifndef TESTS_SUPPORT_STDERR_CAPTURE_H_
#define TESTS_SUPPORT_STDERR_CAPTURE_H_

#include <string>

class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Everything written to the standard error stream since the capture
    // began (the stream is flushed first).
    std::string text();

  private:
    int saved_fd_ = -1;
    int capture_fd_ = -1;
};

// Number of occurrences of `needle` in `haystack`.
int count_of(const std::string& haystack, const std::string& needle);

// Length of the log stamp "<Y/M/D hh:mm:ss.mmm> " at the start of `line`
// (year of 1 to 4 digits, month and day of 1 or 2), or 0 when the line does
// not start with a well-formed stamp.
size_t stamp_length(const std::string& line);

// Number of descriptors the process has open (entries of /proc/self/fd).
int open_descriptor_count();

#endif  // TESTS_SUPPORT_STDERR_CAPTURE_H_
