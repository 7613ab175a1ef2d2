// The daily script at 02:00 site time, under a faked clock.
//
// The daemon runs under libfaketime, its clock started at 01:59:58 site time
// (16:59:58 UTC) and running at the normal rate; FAKETIME_DONT_RESET lets the
// script see the same clock. The script (on the test's private /home) writes
// the UTC time it starts at into the log, sleeps, and writes an end mark.
// The test sends a numbered report every 100 ms meanwhile.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "e2e/daemon_harness.h"

namespace {

constexpr char kLogFile[] = "/home/logs/32730.log";
constexpr char kRanMark[] = "/home/script-ran";

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - status; }

double now_seconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

std::string faketime_library() {
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                             "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1"}) {
        if (file_exists(path)) return path;
    }
    return "";
}

class DailyJob : public testing::Test {
protected:
    void SetUp() override {
        if (faketime_library().empty()) GTEST_SKIP() << "libfaketime is not installed";
        mkdir("/home/disk1", 0755);
        mkdir("/home/disk1/etc", 0755);
        mkdir("/home/disk1/etc/center", 0755);
    }

    void install_script(int seconds) {
        write_file("/home/disk1/etc/center/rp.daily",
                   "#!/bin/sh\n"
                   "echo \"daily script start $(date -u +%H:%M:%S)\" >&2\n"
                   "touch " + std::string(kRanMark) + "\n" +
                       "sleep " + std::to_string(seconds) + "\n" +
                       "echo 'daily script end' >&2\n",
                   0755);
    }

    void start_at_one_fifty_nine_fifty_eight() {
        ASSERT_EQ(daemon_.run({"-l", "/home/logs"},
                              {"LD_PRELOAD=" + faketime_library(),
                               "FAKETIME=@2026-12-05 16:59:58", "FAKETIME_DONT_RESET=1", "TZ=UTC"}),
                  0);
        ASSERT_TRUE(daemon_.wait_for_pid_file());
        ASSERT_TRUE(daemon_.wait_until_waiting_for_sigterm());
    }

    Daemon daemon_;
};

// Index of the first line that starts with `start`, or -1.
int index_of(const std::vector<std::string>& lines, const std::string& start) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(start, 0) == 0) return static_cast<int>(i);
    }
    return -1;
}

TEST_F(DailyJob, RunsAtTwoSiteTimeAndHoldsReportsUntilTheScriptEnds) {
    install_script(2);
    start_at_one_fifty_nine_fifty_eight();

    // Reports numbered 0, 1, 2, ... every 100 ms until well after the run.
    const double started = now_seconds();
    int sent = 0;
    while (now_seconds() - started < 5.5) {
        send_datagram(frame_of(report_record(1, "tick " + std::to_string(sent++))));
        usleep(100000);
    }
    ASSERT_TRUE(file_exists(kRanMark)) << "the script did not run";
    EXPECT_EQ(exit_code(daemon_.stop(30)), 0);

    const std::string log = read_file(kLogFile);
    const std::vector<std::string> lines = unstamped_lines(log);
    const int script_start = index_of(lines, "daily script start ");
    const int script_end = index_of(lines, "daily script end");
    ASSERT_GE(script_start, 0) << log;
    ASSERT_EQ(script_end, script_start + 1) << "no report line inside the script's output\n" << log;
    // 17:00:00 UTC is 02:00:00 site time: the first second of the minute.
    EXPECT_EQ(lines[script_start], "daily script start 17:00:00") << log;

    // Every report was logged once, in order; those logged before the
    // script carry 01:59 stamps, so the script did not start at 01:59:59.
    std::vector<std::string> stamped_lines;
    for (std::string line; const char c : log) {
        line += c;
        if (c == '\n') {
            stamped_lines.push_back(line);
            line.clear();
        }
    }
    int expected = 0;
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
        if (lines[i].rfind("LEVEL 1: (tick ", 0) != 0) continue;
        EXPECT_EQ(lines[i], "LEVEL 1: (tick " + std::to_string(expected++) + ")");
        const bool before_script = i < script_start;
        EXPECT_EQ(stamped_lines[i].find(" 01:59:") != std::string::npos, before_script)
            << stamped_lines[i];
    }
    EXPECT_EQ(expected, sent);
    EXPECT_GT(script_start, index_of(lines, "LEVEL 1: (tick 0)")) << "reports came before 02:00";
}

TEST_F(DailyJob, SigtermDuringTheRunWaitsForTheScriptAndThePause) {
    install_script(2);
    start_at_one_fifty_nine_fifty_eight();
    for (int i = 0; i < 100 && !file_exists(kRanMark); ++i) usleep(50000);
    ASSERT_TRUE(file_exists(kRanMark)) << "the script did not run";

    const double signalled = now_seconds();
    const int status = daemon_.stop(40);
    const double took = now_seconds() - signalled;
    EXPECT_EQ(exit_code(status), 0);
    // The rest of the two-second script, then the ten-second pause.
    EXPECT_GT(took, 10.5);
    printf("SIGTERM during the daily script: stopped after %.1f s\n", took);

    const std::vector<std::string> lines = unstamped_lines(read_file(kLogFile));
    ASSERT_FALSE(lines.empty());
    // The main thread writes its line at once; the script ends later.
    EXPECT_GE(index_of(lines, "break by signal"), 0);
    EXPECT_GT(index_of(lines, "daily script end"), index_of(lines, "daily script start"));
    EXPECT_FALSE(file_exists(Daemon::kPidFile));
}

}  // namespace
