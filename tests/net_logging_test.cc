// The log facility: stamp, line shape, errno report, flush clock, log file.
//
// The process clock is replaced for these tests: gettimeofday below is the
// one the facility links against, so a test can stop time or move it by any
// amount without waiting. Tests that redirect the standard streams run in a
// child process (EXPECT_EXIT) and report failed checks on a saved copy of the
// original standard error.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "network/system/net_logging.h"
#include "support/stderr_capture.h"

namespace {

std::atomic<int64_t> fixed_micros{-1};  // >= 0: the clock stands at this point

}  // namespace

extern "C" int gettimeofday(struct timeval* tv, void*) {
    int64_t micros = fixed_micros.load();
    if (micros < 0) {
        struct timespec real;
        clock_gettime(CLOCK_REALTIME, &real);
        micros = real.tv_sec * 1000000 + real.tv_nsec / 1000;
    }
    tv->tv_sec = micros / 1000000;
    tv->tv_usec = micros % 1000000;
    return 0;
}

namespace {

// 2026-03-31 15:00:00 UTC: already 1 April in site time.
constexpr int64_t kMonthEnd = 1774969200LL * 1000000;
constexpr int64_t kSecond = 1000000;

TEST(NetLog, LineIsSiteTimeStampThenFormatCutAt254AndNewline) {
    StderrCapture capture;
    fixed_micros = kMonthEnd + 123456;
    const int written = net_log("LEVEL %d: (%s)", 5, "ok");
    const std::string format(300, 'f'), argument(400, 'a');
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    net_log(format.c_str());  // a format with no conversion, cut at 254
#pragma GCC diagnostic pop
    net_log("%s|", argument.c_str());  // arguments are never cut
    net_log("one\ntwo%s", "\nthree");  // newlines inside the text get no stamp
    // The stamp follows the clock across and back over a second boundary.
    for (const int64_t at : {kMonthEnd + 999999, kMonthEnd - 1, kMonthEnd + kSecond}) {
        fixed_micros = at;
        net_log("");
    }
    fixed_micros = -1;
    const std::string stamp = "<2026/4/1 00:00:00.123> ";
    EXPECT_EQ(capture.text(), stamp + "LEVEL 5: (ok)\n" + stamp + std::string(254, 'f') + "\n" +
                                  stamp + argument + "|\n" + stamp + "one\ntwo\nthree\n" +
                                  "<2026/4/1 00:00:00.999> \n<2026/3/31 23:59:59.999> \n"
                                  "<2026/4/1 00:00:01.000> \n");
    EXPECT_EQ(written, static_cast<int>(strlen("LEVEL 5: (ok)\n")));
}

TEST(NetLog, ErrnoReportNamesPlaceAndTextAndKeepsErrnoWhileTraceWritesNothing) {
    StderrCapture capture;
    errno = EADDRINUSE;
    net_log_errno("network/x.cc", 42);
    EXPECT_EQ(errno, EADDRINUSE);
    EXPECT_EQ(net_trace("caught sigterm %d", 1), 0);
    const std::string text = capture.text();
    EXPECT_EQ(text.substr(stamp_length(text)), "Error: network/x.cc(42): Address already in use\n");
}

// --- tests that redirect the standard streams run in a child process -------

int diagnostics_fd = -1;

#define CHILD_CHECK(condition)                                                                    \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            dprintf(diagnostics_fd, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            _exit(1);                                                                             \
        }                                                                                         \
    } while (0)

// Open (truncating), the flush clock, a plain flush, then silence: one child,
// the clock standing still unless moved, the log file's size showing flushes.
TEST(NetLogFile, OpenFlushClockAndSilence) {
    char path[] = "/tmp/net_logging_test_XXXXXX";
    close(mkstemp(path));
    std::ofstream(path) << "left over from an earlier run\n";
    // Whether calling `flush` made the (buffered) log file grow.
    auto grows = [&](void (*flush)()) {
        const auto before = std::filesystem::file_size(path);
        flush();
        return std::filesystem::file_size(path) > before;
    };
    EXPECT_EXIT(
        {
            int64_t t = kMonthEnd;
            fixed_micros = t;
            diagnostics_fd = dup(STDERR_FILENO);
            CHILD_CHECK(net_log_open(path) == stderr);
            CHILD_CHECK(std::filesystem::file_size(path) == 0);  // truncated
            net_log("before the clock is armed");
            fixed_micros = t += 3600 * kSecond;
            CHILD_CHECK(!grows(net_log_flush_due));
            net_log_timer_start();
            fixed_micros = t + 10 * kSecond - 1;
            CHILD_CHECK(!grows(net_log_flush_due));
            fixed_micros = t + 10 * kSecond;
            CHILD_CHECK(grows(net_log_flush_due));
            net_log("after the first flush");
            fixed_micros = t;  // set back ten seconds: counts as ten passed
            CHILD_CHECK(grows(net_log_flush_due));
            net_log_timer_stop();
            net_log("after the clock is disarmed");
            fixed_micros = t + 3600 * kSecond;
            CHILD_CHECK(!grows(net_log_flush_due));
            CHILD_CHECK(grows(net_log_flush));  // a plain flush still flushes

            net_log("kept in the buffer");
            net_log_silence();
            CHILD_CHECK(net_log("dropped %d", 1) == 0);
            CHILD_CHECK(grows(net_log_flush));  // flushes still flush
            std::ifstream file(path);
            CHILD_CHECK(std::string(std::istreambuf_iterator<char>(file), {}) ==
                        "<2026/4/1 00:00:00.000> before the clock is armed\n"
                        "<2026/4/1 01:00:10.000> after the first flush\n"
                        "<2026/4/1 01:00:00.000> after the clock is disarmed\n"
                        "<2026/4/1 02:00:00.000> kept in the buffer\n");
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
    unlink(path);
}

// The child's standard error is the death test's capture: it stands in for
// the operator's terminal.
TEST(NetLogFile, FailedOpenKeepsLinesOnTheInheritedStream) {
    EXPECT_EXIT(
        {
            FILE* stream = net_log_open("/nonexistent-directory/32730.log");
            net_log("still here: %s", stream == nullptr ? "null" : "stream");
            fflush(stderr);
            _exit(0);
        },
        testing::ExitedWithCode(0),
        "> Error: network/system/net_logging\\.cc\\([0-9]+\\): No such file or directory\n"
        ".*> still here: null\n");
}

}  // namespace
