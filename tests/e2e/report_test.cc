// Reports sent to the running daemon over UDP, and the ways it survives or
// ends on faults. Each test starts the real binary in its own namespaces
// with a log directory on tmpfs, sends datagrams to 127.0.0.1:32730, stops
// the daemon and reads the log it left.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "e2e/daemon_harness.h"
#include "network/system/record_codec.h"
#include "network/system/report_record.h"

namespace {

constexpr char kLogDir[] = "/home/logs";
constexpr char kLogFile[] = "/home/logs/32730.log";

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - status; }

void start(Daemon& daemon, const std::vector<std::string>& env = {}) {
    ASSERT_EQ(daemon.run({"-l", kLogDir}, env), 0);
    ASSERT_TRUE(daemon.wait_for_pid_file()) << read_file(kLogFile);
    ASSERT_TRUE(daemon.wait_until_waiting_for_sigterm()) << read_file(kLogFile);
}

// Stops the daemon with SIGTERM (status 0 expected) and returns the log's
// lines without stamps, after checking that every line has its stamp.
std::vector<std::string> stop_and_read_log(Daemon& daemon) {
    EXPECT_EQ(exit_code(daemon.stop()), 0);
    const std::string log = read_file(kLogFile);
    EXPECT_TRUE(every_line_stamped(log)) << log;
    return unstamped_lines(log);
}

std::vector<std::string> report_lines(const std::vector<std::string>& lines) {
    std::vector<std::string> reports;
    for (const std::string& line : lines) {
        if (line.rfind("LEVEL ", 0) == 0) reports.push_back(line);
    }
    return reports;
}

bool contains_line_starting(const std::vector<std::string>& lines, const std::string& start) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(start, 0) == 0; });
}

// Waits until the daemon has taken every queued datagram from its socket
// (the receive queue in /proc/net/udp reads zero), at most five seconds.
void wait_until_drained() {
    for (int i = 0; i < 500; ++i) {
        const std::string udp = read_file("/proc/net/udp");
        // "...:7FDA 00000000:0000 07 TTTTTTTT:RRRRRRRR": R is the receive queue.
        const size_t at = udp.find(":7FDA ");
        if (at != std::string::npos && udp.compare(at + 32, 8, "00000000") == 0) {
            usleep(100000);  // the last datagram's lines are being written
            return;
        }
        usleep(10000);
    }
    ADD_FAILURE() << "the daemon did not drain its socket";
}

TEST(Reports, EveryValidReportBecomesOneLineInOrder) {
    Daemon daemon;
    start(daemon);

    std::string packed(kReportRecordSize, '\x55');  // header bytes the server must not read
    ASSERT_EQ(RecordCodec::pack(packed.data(), kReportFormat, 5, "ok"), kReportRecordSize);

    std::string bad_crc = frame_of(report_record(9, "bad crc"));
    bad_crc[0] ^= 0x01;
    const std::string full_text(256, 'x');

    // Several frames in one datagram, all with the same serial (the server
    // ignores serials): a report, a record of another type, a bad CRC.
    ASSERT_TRUE(send_datagram(frame_of(packed) + frame_of(report_record(1, "not a report", 193)) +
                              bad_crc + frame_of(report_record(2, "after the bad frame"))));
    ASSERT_TRUE(send_datagram(frame_of(report_record(255, full_text)) +
                              frame_of(report_record(3, std::string("cut\0here", 8)))));
    ASSERT_TRUE(send_datagram(frame_of(report_record(4, "%s%n%d format text"))));
    wait_until_drained();

    const std::vector<std::string> lines = stop_and_read_log(daemon);
    ASSERT_GE(lines.size(), 3u);
    char host[256] = "";
    gethostname(host, sizeof host);
    EXPECT_EQ(lines[0], std::string("Server Name = ") + host);
    EXPECT_EQ(lines[1], "0.0.0.0");
    EXPECT_EQ(report_lines(lines), (std::vector<std::string>{
                                       "LEVEL 5: (ok)",
                                       "LEVEL 2: (after the bad frame)",
                                       "LEVEL 255: (" + full_text + ")",
                                       "LEVEL 3: (cut)",
                                       "LEVEL 4: (%s%n%d format text)",
                                   }));
    EXPECT_EQ(lines.back(), "break by signal");
}

TEST(Reports, ShortFrameNeverShowsBytesOfAnEarlierOne) {
    Daemon daemon;
    start(daemon);
    ASSERT_TRUE(send_datagram(frame_of(report_record(77, "a long earlier report text"))));
    // Only the nine-byte header with type 192: level and text are missing.
    ASSERT_TRUE(send_datagram(frame_of(report_record(0, "").substr(0, 9))));
    // Header, level and the first three text bytes, no terminator.
    ASSERT_TRUE(send_datagram(frame_of(report_record(6, "abcdef").substr(0, 13))));
    wait_until_drained();
    EXPECT_EQ(report_lines(stop_and_read_log(daemon)),
              (std::vector<std::string>{"LEVEL 77: (a long earlier report text)", "LEVEL 0: ()",
                                        "LEVEL 6: (abc)"}));
}

TEST(Reports, SecondInstanceEndsOnTheTakenPortAndTheFirstKeepsLogging) {
    Daemon first;
    start(first);
    const pid_t first_pid = first.pid();

    Daemon second;
    unlink(second.stderr_path().c_str());
    ASSERT_EQ(second.run({}), 0);
    // The second instance rewrites the pid file, then fails to bind and ends
    // at once, leaving the file with its own pid.
    pid_t second_pid = 0;
    for (int i = 0; i < 500 && (second_pid == 0 || second_pid == first_pid); ++i) {
        second_pid = static_cast<pid_t>(atoi(read_file(Daemon::kPidFile).c_str()));
        usleep(10000);
    }
    ASSERT_NE(second_pid, first_pid);
    EXPECT_EQ(exit_code(reap_until(second_pid, 5)), 0);
    EXPECT_EQ(read_file(Daemon::kPidFile), std::to_string(second_pid));
    const std::string second_text = second.stderr_text();
    EXPECT_NE(second_text.find("): " + std::string(strerror(EADDRINUSE)) + "\n"),
              std::string::npos)
        << second_text;
    EXPECT_NE(second_text.find("> Error: network/server/net_report_server.cc("), std::string::npos);

    ASSERT_TRUE(first.running());
    ASSERT_TRUE(send_datagram(frame_of(report_record(1, "first still logs"))));
    wait_until_drained();
    EXPECT_EQ(report_lines(stop_and_read_log(first)),
              std::vector<std::string>{"LEVEL 1: (first still logs)"});
}

TEST(Reports, FailedReaderEndsTheDaemonWithBreakByError) {
    Daemon daemon;
    start(daemon, {"LD_PRELOAD=" FAULT_INJECT_LIBRARY, "FAULT_RECV=2"});
    ASSERT_TRUE(send_datagram(frame_of(report_record(1, "taken before the fault"))));
    ASSERT_TRUE(send_datagram(frame_of(report_record(2, "never read"))));
    const int status = daemon.wait_exit(10);
    EXPECT_EQ(exit_code(status), 0);
    EXPECT_FALSE(file_exists(Daemon::kPidFile));
    const std::vector<std::string> lines = unstamped_lines(read_file(kLogFile));
    EXPECT_EQ(report_lines(lines), std::vector<std::string>{"LEVEL 1: (taken before the fault)"});
    EXPECT_TRUE(contains_line_starting(lines, "Error: network/system/net_dgram_io.cc("));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "break by error");
}

TEST(Reports, LockAndThreadFailuresAreReportedAndHandled) {
    {
        // A lock the system refuses at construction ends the process like a
        // socket that cannot be bound: status 0, pid file left behind.
        Daemon daemon;
        ASSERT_EQ(daemon.run({"-l", kLogDir}, {"LD_PRELOAD=" FAULT_INJECT_LIBRARY,
                                               "FAULT_RWLOCK_INIT=2"}),
                  0);
        ASSERT_TRUE(daemon.wait_for_pid_file() || file_exists(Daemon::kPidFile));
        const pid_t pid = static_cast<pid_t>(atoi(read_file(Daemon::kPidFile).c_str()));
        EXPECT_EQ(exit_code(reap_until(pid, 5)), 0);
        const std::vector<std::string> lines = unstamped_lines(read_file(kLogFile));
        EXPECT_TRUE(contains_line_starting(lines, "Error: network/server/net_report_server.cc("));
        EXPECT_FALSE(contains_line_starting(lines, "break by"));
        unlink(Daemon::kPidFile);
    }
    for (const char* failing_create : {"FAULT_PTHREAD_CREATE=1", "FAULT_PTHREAD_CREATE=2"}) {
        // A thread that cannot be started: the daemon tears down by itself
        // (the status thread, when it ran, is ended first), status 0.
        Daemon daemon;
        ASSERT_EQ(daemon.run({"-l", kLogDir}, {"LD_PRELOAD=" FAULT_INJECT_LIBRARY, failing_create}),
                  0);
        if (daemon.wait_for_pid_file(2)) {
            EXPECT_EQ(exit_code(daemon.wait_exit(10)), 0) << failing_create;
        }
        EXPECT_FALSE(file_exists(Daemon::kPidFile)) << failing_create;
        const std::vector<std::string> lines = unstamped_lines(read_file(kLogFile));
        EXPECT_TRUE(contains_line_starting(lines, "pthread_create: failed")) << failing_create;
        EXPECT_FALSE(contains_line_starting(lines, "break by")) << failing_create;
    }
    {
        // A failed lock call is logged with its place, and work goes on.
        Daemon daemon;
        start(daemon, {"LD_PRELOAD=" FAULT_INJECT_LIBRARY, "FAULT_RWLOCK_WRLOCK=3"});
        ASSERT_TRUE(send_datagram(frame_of(report_record(8, "after the failed lock"))));
        wait_until_drained();
        const std::vector<std::string> lines = stop_and_read_log(daemon);
        EXPECT_TRUE(
            contains_line_starting(lines, "exclusive lock: failed at network/server/net_report_server.cc("));
        EXPECT_EQ(report_lines(lines), std::vector<std::string>{"LEVEL 8: (after the failed lock)"});
    }
}

TEST(Reports, IdleDaemonUsesAlmostNoCpu) {
    Daemon daemon;
    start(daemon);
    usleep(500000);
    const double before = daemon.cpu_seconds();
    sleep(10);
    const double used = daemon.cpu_seconds() - before;
    printf("idle CPU over 10 s: %.3f s (%.2f %% of one core)\n", used, used * 10);
    EXPECT_LT(used, 0.1) << "under 1 % of one core";
    stop_and_read_log(daemon);
}

}  // namespace
