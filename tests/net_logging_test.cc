// The log facility: stamp, line shape, errno report, flush clock, log file.
//
// The process clock is replaced for these tests: gettimeofday below is the
// one the facility links against, so a test can stop time or move it by any
// amount without waiting. Tests that redirect the standard streams run in a
// child process (EXPECT_EXIT) and report failed checks on a saved copy of the
// original standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <sstream>
#include <string>

#include "network/system/net_logging.h"
#include "support/stderr_capture.h"

namespace {

std::atomic<int64_t> fixed_micros{-1};  // >= 0: the clock stands at this point
std::atomic<int64_t> shift_micros{0};   // added to the real time otherwise

}  // namespace

extern "C" int gettimeofday(struct timeval* tv, void*) {
    int64_t micros = fixed_micros.load();
    if (micros < 0) {
        struct timespec real;
        clock_gettime(CLOCK_REALTIME, &real);
        micros = real.tv_sec * 1000000 + real.tv_nsec / 1000 + shift_micros.load();
    }
    tv->tv_sec = micros / 1000000;
    tv->tv_usec = micros % 1000000;
    return 0;
}

namespace {

void stand_clock_at(int64_t micros) {
    fixed_micros.store(micros);
}

// 2026-03-31 15:00:00 UTC: already 1 April in site time.
constexpr int64_t kMonthEnd = 1774969200LL * 1000000;

TEST(NetLog, LineIsSiteTimeStampThenTextAndNewline) {
    StderrCapture capture;
    stand_clock_at(kMonthEnd + 123456);
    const int written = net_log("LEVEL %d: (%s)", 5, "ok");
    net_log("");
    // The stamp of each line follows the clock, also across and back over a
    // second boundary (the date part is reused within one second only).
    stand_clock_at(kMonthEnd + 999999);
    net_log("a");
    stand_clock_at(kMonthEnd - 1);
    net_log("b");
    stand_clock_at(kMonthEnd + 1000000);
    net_log("c");
    stand_clock_at(-1);
    EXPECT_EQ(capture.text(),
              "<2026/4/1 00:00:00.123> LEVEL 5: (ok)\n<2026/4/1 00:00:00.123> \n"
              "<2026/4/1 00:00:00.999> a\n<2026/3/31 23:59:59.999> b\n"
              "<2026/4/1 00:00:01.000> c\n");
    EXPECT_EQ(written, static_cast<int>(strlen("LEVEL 5: (ok)\n")));
}

TEST(NetLog, FormatIsCutAt254CharactersButArgumentsAreNot) {
    StderrCapture capture;
    const std::string long_format(300, 'f');
    const std::string long_argument(400, 'a');
    net_log("%s", (long_format + "tail").c_str());
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
    net_log(long_format.c_str());  // a format with no conversion, cut at 254
#pragma GCC diagnostic pop
    net_log("%s|", long_argument.c_str());
    net_log("one\ntwo%s", "\nthree");

    std::istringstream text(capture.text());
    std::string unstamped;
    int stamped = 0;
    for (std::string line; std::getline(text, line);) {
        const size_t stamp = stamp_length(line);
        stamped += stamp > 0;
        unstamped += line.substr(stamp) + "\n";
    }
    EXPECT_EQ(unstamped, long_format + "tail\n" + std::string(254, 'f') + "\n" + long_argument +
                             "|\n" + "one\ntwo\nthree\n");
    // Only the four lines carry a stamp: newlines inside a text do not.
    EXPECT_EQ(stamped, 4);
}

TEST(NetLog, ErrnoReportNamesPlaceAndTextAndKeepsErrno) {
    StderrCapture capture;
    errno = EADDRINUSE;
    net_log_errno("network/x.cc", 42);
    EXPECT_EQ(errno, EADDRINUSE);
    const std::string text = capture.text();
    EXPECT_NE(text.find("> Error: network/x.cc(42): Address already in use\n"), std::string::npos)
        << text;
    EXPECT_EQ(net_trace("caught sigterm %d", 1), 0);
    EXPECT_EQ(capture.text(), text) << "a trace must write nothing";
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

off_t size_of_file(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 ? info.st_size : -1;
}

std::string temp_log_path() {
    char path[] = "/tmp/net_logging_test_XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    return path;
}

void open_log_or_die(const char* path) {
    diagnostics_fd = dup(STDERR_FILENO);
    FILE* stream = net_log_open(path);
    CHILD_CHECK(stream == stderr);
}

TEST(NetLogFile, OpenTruncatesAndLinesGoToTheFile) {
    const std::string path = temp_log_path();
    {
        FILE* old = fopen(path.c_str(), "w");
        fputs("left over from an earlier run\n", old);
        fclose(old);
    }
    EXPECT_EXIT(
        {
            open_log_or_die(path.c_str());
            CHILD_CHECK(size_of_file(path.c_str()) == 0);
            net_log("first");
            net_log_close(stderr);
            FILE* file = fopen(path.c_str(), "r");
            char line[128] = "";
            CHILD_CHECK(fgets(line, sizeof line, file) != nullptr);
            CHILD_CHECK(strstr(line, "> first\n") != nullptr);
            CHILD_CHECK(fgets(line, sizeof line, file) == nullptr);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
    unlink(path.c_str());
}

TEST(NetLogFile, FlushClockFlushesAfterTenWholeSecondsEitherWay) {
    const std::string path = temp_log_path();
    EXPECT_EXIT(
        {
            const char* log = path.c_str();
            int64_t t = kMonthEnd;
            stand_clock_at(t);
            open_log_or_die(log);

            net_log("before the clock is armed");
            stand_clock_at(t += 3600LL * 1000000);
            net_log_flush_due();
            CHILD_CHECK(size_of_file(log) == 0);  // the file stream is buffered

            net_log_timer_start();
            stand_clock_at(t + 9999999);
            net_log_flush_due();
            CHILD_CHECK(size_of_file(log) == 0);
            stand_clock_at(t + 10000000);
            net_log_flush_due();
            const off_t after_first_flush = size_of_file(log);
            CHILD_CHECK(after_first_flush > 0);

            // The clock set back by ten seconds counts as ten seconds passed.
            net_log("after the first flush");
            stand_clock_at(t);  // ten seconds before the last flush
            net_log_flush_due();
            CHILD_CHECK(size_of_file(log) > after_first_flush);

            net_log_timer_stop();
            net_log("after the clock is disarmed");
            const off_t disarmed = size_of_file(log);
            stand_clock_at(t + 3600LL * 1000000);
            net_log_flush_due();
            CHILD_CHECK(size_of_file(log) == disarmed);
            net_log_flush();  // a plain flush still flushes
            CHILD_CHECK(size_of_file(log) > disarmed);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
    unlink(path.c_str());
}

TEST(NetLogFile, SilenceStopsLinesButNotFlushes) {
    const std::string path = temp_log_path();
    EXPECT_EXIT(
        {
            open_log_or_die(path.c_str());
            net_log("kept in the buffer");
            net_log_silence();
            CHILD_CHECK(net_log("dropped %d", 1) == 0);
            CHILD_CHECK(size_of_file(path.c_str()) == 0);
            net_log_flush();
            const off_t flushed = size_of_file(path.c_str());
            CHILD_CHECK(flushed > 0);
            net_log("dropped too");
            net_log_flush();
            CHILD_CHECK(size_of_file(path.c_str()) == flushed);
            _exit(0);
        },
        testing::ExitedWithCode(0), "");
    unlink(path.c_str());
}

TEST(NetLogFile, FailedOpenKeepsLinesOnTheInheritedStream) {
    // The child writes to a pipe standing in for the operator's terminal.
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(pipe_fds[1], STDERR_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        FILE* stream = net_log_open("/nonexistent-directory/32730.log");
        net_log("still here: %s", stream == nullptr ? "null" : "stream");
        fflush(stderr);
        _exit(0);
    }
    close(pipe_fds[1]);
    std::string text;
    char chunk[512];
    ssize_t n;
    while ((n = read(pipe_fds[0], chunk, sizeof chunk)) > 0)
        text.append(chunk, n);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(text.find("> Error: network/system/net_logging.cc("), std::string::npos) << text;
    EXPECT_NE(text.find("): No such file or directory\n"), std::string::npos) << text;
    EXPECT_NE(text.find("> still here: null\n"), std::string::npos) << text;
}

}  // namespace
