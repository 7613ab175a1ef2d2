#include "support/stderr_capture.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

StderrCapture::StderrCapture() {
    fflush(stderr);
    char path[] = "/tmp/stderr_capture_XXXXXX";
    capture_fd_ = mkstemp(path);
    EXPECT_GE(capture_fd_, 0) << "mkstemp failed";
    unlink(path);
    saved_fd_ = dup(STDERR_FILENO);
    dup2(capture_fd_, STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
    fflush(stderr);
    dup2(saved_fd_, STDERR_FILENO);
    close(saved_fd_);
    close(capture_fd_);
}

std::string StderrCapture::text() {
    fflush(stderr);
    std::string out;
    char chunk[4096];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(capture_fd_, chunk, sizeof chunk, at);
        if (n <= 0)
            break;
        out.append(chunk, static_cast<size_t>(n));
        at += n;
    }
    return out;
}

int count_of(const std::string& haystack, const std::string& needle) {
    int count = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

size_t stamp_length(const std::string& line) {
    size_t at = 0;
    auto digits = [&](size_t least, size_t most) {
        size_t n = 0;
        while (at < line.size() && n < most && isdigit(static_cast<unsigned char>(line[at]))) {
            ++at;
            ++n;
        }
        return n >= least;
    };
    auto literal = [&](char c) { return at < line.size() && line[at++] == c; };
    const bool ok = literal('<') && digits(1, 4) && literal('/') && digits(1, 2) && literal('/') &&
                    digits(1, 2) && literal(' ') && digits(2, 2) && literal(':') && digits(2, 2) &&
                    literal(':') && digits(2, 2) && literal('.') && digits(3, 3) && literal('>') &&
                    literal(' ');
    return ok ? at : 0;
}

int open_descriptor_count() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return -1;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    closedir(dir);
    return count - 1;  // the directory stream's own descriptor
}
