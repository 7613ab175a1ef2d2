// The log facility: stamp, line shape, flush clock, log file.
//
// The process clock is replaced for these tests: gettimeofday below is the
// one the facility links against, so a test can stop time or move it by any
// amount without waiting.
#include "network/system/net_logging.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "support/test_support.h"

namespace {
std::atomic<int64_t> fixed_micros{-1};  // >= 0: the clock stands at this point
std::atomic<int64_t> room_left{-1};     // >= 0: bytes descriptor 2 takes before ENOSPC
}  // namespace

// The log's writes, with a file system that fills up when a test says so.
extern "C" ssize_t write(int fd, const void* data, size_t length) {
    if (fd == STDERR_FILENO && room_left >= 0) {
        if (room_left == 0)
            return errno = ENOSPC, -1;
        length = std::min<size_t>(length, room_left);
        room_left -= length;
    }
    return syscall(SYS_write, fd, data, length);
}

extern "C" int gettimeofday(struct timeval* tv, void*) {
    int64_t micros = fixed_micros;
    if (micros < 0) {
        timespec real;
        clock_gettime(CLOCK_REALTIME, &real);
        micros = real.tv_sec * 1000000 + real.tv_nsec / 1000;
    }
    *tv = {micros / 1000000, micros % 1000000};
    return 0;
}

namespace {

constexpr int64_t kMonthEnd = 1774969200LL * 1000000;  // 2026-03-31 15:00 UTC: April 1 in site time
constexpr int64_t kSecond = 1000000;

TEST(NetLog, LineIsSiteTimeStampThenFormatCutAt254AndNewline) {
    testing::internal::CaptureStderr();
    fixed_micros = kMonthEnd + 123456;
    EXPECT_EQ(net_log("LEVEL %d: (%s)", 5, "ok"), 14);
    const std::string format(300, 'f'), argument(400, 'a');
    net_log(format.c_str(), 0);        // cut at 254
    net_log("%s|", argument.c_str());  // arguments are never cut
    net_log("one\ntwo%s", "\nthree");  // newlines inside the text get no stamp
    for (const int64_t at : {kMonthEnd - 1, kMonthEnd + kSecond}) {
        fixed_micros = at;  // back and forth over second boundaries
        net_log("%s", "");
    }
    fixed_micros = -1;
    const std::string stamp = "<2026/4/1 00:00:00.123> ";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              stamp + "LEVEL 5: (ok)\n" + stamp + std::string(254, 'f') + "\n" + stamp + argument +
                  "|\n" + stamp + "one\ntwo\nthree\n" +
                  "<2026/3/31 23:59:59.999> \n<2026/4/1 00:00:01.000> \n");
}

// Whether calling `flush` made the (buffered) log file at `path` grow.
bool grows(const std::string& path, void (*flush)()) {
    const auto before = std::filesystem::file_size(path);
    flush();
    return std::filesystem::file_size(path) > before;
}

// Open (truncating), the flush clock, a plain flush, then silence, with the
// clock standing still unless moved. Runs in a child (it redirects the
// standard streams), whose exit code names the first check that failed.
void open_flush_clock_and_silence(const std::string& path) {
    int step = 0;
    auto check = [&](bool holds) {
        if (++step, !holds)
            _exit(step);
    };
    int64_t t = kMonthEnd;
    fixed_micros = t;
    check(net_log_open(path.c_str()) == stderr && std::filesystem::file_size(path) == 0);
    net_log("before the clock is armed");
    fixed_micros = t += 3600 * kSecond;
    check(!grows(path, net_log_flush_due));
    net_log_timer_start();
    fixed_micros = t + 10 * kSecond - 1;
    check(!grows(path, net_log_flush_due));
    fixed_micros = t + 10 * kSecond;
    check(grows(path, net_log_flush_due));
    net_log("after the first flush");
    fixed_micros = t;  // set back ten seconds: counts as ten passed
    check(grows(path, net_log_flush_due));
    net_log_timer_stop();
    net_log("after the clock is disarmed");
    fixed_micros = t + 3600 * kSecond;
    check(!grows(path, net_log_flush_due) && grows(path, net_log_flush));
    net_log("kept in the buffer");
    net_log_silence();
    check(net_log("dropped %d", 1) == 0 && grows(path, net_log_flush));
    std::ifstream file(path);
    check(std::string(std::istreambuf_iterator<char>(file), {}) ==
          "<2026/4/1 00:00:00.000> before the clock is armed\n"
          "<2026/4/1 01:00:10.000> after the first flush\n"
          "<2026/4/1 01:00:00.000> after the clock is disarmed\n"
          "<2026/4/1 02:00:00.000> kept in the buffer\n");
    _exit(0);
}

// A full file system: the first line goes out whole, the second is cut; a
// flush that writes not a byte keeps the cut line's rest; once there is room
// it is finished, the line behind it is told as lost, and the log goes on
// with whole lines.
void full_file_system_loses_whole_lines(const std::string& path) {
    fixed_micros = kMonthEnd;
    if (net_log_open(path.c_str()) != stderr)
        _exit(1);
    const std::string stamp = "<2026/4/1 00:00:00.000> ";
    net_log("first");
    net_log("second");
    room_left = static_cast<int64_t>(stamp.size()) + 6 + 10;
    net_log_flush();
    net_log("third");
    room_left = 0;
    net_log_flush();
    room_left = -1;
    net_log("fourth");
    net_log_flush();
    std::ifstream file(path);
    _exit(std::string(std::istreambuf_iterator<char>(file), {}) ==
                  stamp + "first\n" + stamp + "second\n" + stamp +
                      "lost 1 log lines (30 bytes): No space left on device\n" + stamp + "fourth\n"
              ? 0
              : 2);
}

TEST(NetLogFile, OpenFlushClockAndSilence) {
    const std::string path = testing::TempDir() + "/net_logging_test.log";
    std::ofstream(path) << "left over from an earlier run\n";
    EXPECT_EXIT(open_flush_clock_and_silence(path), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(full_file_system_loses_whole_lines(path), testing::ExitedWithCode(0), "");
}

}  // namespace
