// The running daemon under hostile and heavy input: a storm of random
// datagrams, SIGTERM while reports pour in, and a long daily script while
// reports queue up in the socket. Each test starts the real binary in its
// own namespaces with its log on tmpfs, sends only to 127.0.0.1:32730 and
// bounds every loop in count and time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "e2e/daemon_harness.h"
#include "network/system/report_record.h"

namespace {

constexpr char kLogFile[] = "/home/logs/32730.log";

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void start(Daemon& daemon, const std::vector<std::string>& env = {}) {
    ASSERT_EQ(daemon.run({"-l", "/home/logs"}, env), 0);
    ASSERT_TRUE(daemon.wait_for_pid_file()) << read_file(kLogFile);
    ASSERT_TRUE(daemon.wait_until_waiting_for_sigterm()) << read_file(kLogFile);
}

// Waits until the daemon's receive queue reads zero, then gives the last
// datagram's lines a moment. False after `seconds`.
bool wait_until_drained(double seconds) {
    for (const double deadline = now_seconds() + seconds; now_seconds() < deadline; usleep(10000)) {
        // /proc/net/udp: "...:7FDA 00000000:0000 07 TTTTTTTT:RRRRRRRR", R the receive queue.
        const std::string udp = read_file("/proc/net/udp");
        const size_t at = udp.find(":7FDA ");
        if (at != std::string::npos && udp.compare(at + 32, 8, "00000000") == 0) {
            usleep(200000);
            return true;
        }
    }
    return false;
}

// Report n has level n % 8 and a text naming n; a datagram carries the
// frames of reports `first` to `first + count - 1`.
std::string line_of(const char* prefix, unsigned n) {
    return "LEVEL " + std::to_string(n % 8) + ": (" + prefix + std::to_string(n) + ")";
}
std::string datagram_of(const char* prefix, unsigned first, unsigned count) {
    std::string datagram;
    for (unsigned n = first; n < first + count; ++n)
        datagram += frame_of(report_record(static_cast<int>(n % 8), prefix + std::to_string(n)));
    return datagram;
}

// Checks the whole log: every line stamped and whole, the two start lines,
// then only "LEVEL n: (...)" lines (n up to 255) and one "break by signal"
// (report lines of the status thread's last passes may follow it).
// Returns the report lines.
std::vector<std::string> report_lines_of_well_formed_log() {
    const std::string log = read_file(kLogFile);
    EXPECT_TRUE(every_line_stamped(log)) << "a line without its stamp, or a partial last line";
    const std::vector<std::string> lines = unstamped_lines(log);
    EXPECT_TRUE(lines.size() >= 2 && lines[0].rfind("Server Name = ", 0) == 0 &&
                lines[1] == "0.0.0.0")
        << log.substr(0, 300);
    static const std::regex report(R"(LEVEL (25[0-5]|2[0-4]\d|1\d\d|[1-9]?\d): \([\s\S]*\))");
    std::vector<std::string> reports, others;
    for (size_t i = 2; i < lines.size(); ++i)
        (std::regex_match(lines[i], report) ? reports : others).push_back(lines[i]);
    EXPECT_EQ(others, std::vector<std::string>{"break by signal"});
    return reports;
}

// 20,000 datagrams of 0 to 1500 bytes: random bytes, report frames with
// wrong CRCs, single frames of random payload with wrong CRCs. Random bytes
// may leave a partial header in the reader; a header claiming more bytes than
// the datagram holds empties it, so after two of them every report counts.
TEST(Robustness, RandomDatagramStormThenEveryReportIsLogged) {
    Daemon daemon;
    start(daemon);
    std::mt19937 random(20261205);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    auto random_bytes = [&](size_t n) {
        std::string bytes(n, '\0');
        std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(random()); });
        return bytes;
    };
    // A frame with the first byte of its CRC changed.
    auto with_bad_crc = [&](std::string f) {
        f[0] ^= static_cast<char>(1 + below(255));
        return f;
    };
    const double storm_started = now_seconds();
    for (int i = 0; i < 20000 && now_seconds() - storm_started < 20; ++i) {
        std::string datagram;
        if (i % 4 < 2)
            datagram = random_bytes(below(1501));
        else if (i % 4 == 2)
            while (datagram.size() + 6 + kReportRecordSize <= 1500 && below(6) != 0)
                datagram += with_bad_crc(frame_of(report_record(below(256), "storm")));
        else
            datagram = with_bad_crc(frame_of(random_bytes(1 + below(1494))));
        ASSERT_TRUE(send_datagram(datagram));
        if (i % 256 == 255)
            usleep(1000);  // leave the daemon a moment now and then
    }
    ASSERT_TRUE(wait_until_drained(10)) << "the daemon stopped reading";
    ASSERT_TRUE(daemon.running());

    for (int i = 0; i < 2; ++i)  // a header claiming 65535 payload bytes
        ASSERT_TRUE(send_datagram(std::string(64, '\xFF')));
    // 20 single frames, then five-frame datagrams.
    for (unsigned n = 0; n < 100; n += n < 20 ? 1 : 5)
        ASSERT_TRUE(send_datagram(datagram_of("after ", n, n < 20 ? 1 : 5)));
    ASSERT_TRUE(wait_until_drained(10));
    ASSERT_TRUE(daemon.running());
    EXPECT_EQ(daemon.stop(), 0);  // wait status of exit code 0

    const std::vector<std::string> reports = report_lines_of_well_formed_log();
    ASSERT_GE(reports.size(), 100u);
    for (unsigned n = 0; n < 100; ++n)  // the last 100 lines
        EXPECT_EQ(reports[reports.size() - 100 + n], line_of("after ", n));
}

// SIGTERM while five-frame datagrams arrive faster than the daemon takes
// them: status 0, no partial or garbled line, "break by signal" logged.
TEST(Robustness, SigtermUnderFullLoadEndsCleanly) {
    Daemon daemon;
    start(daemon);
    std::vector<std::string> pool;  // sent round and round
    std::set<std::string> sent_lines;
    for (unsigned n = 0; n < 2560; n += 5)
        pool.push_back(datagram_of("flood ", n, 5));
    for (unsigned n = 0; n < 2560; ++n)
        sent_lines.insert(line_of("flood ", n));
    std::atomic<bool> done{false};
    std::thread flood([&] {
        const double until = now_seconds() + 6;
        for (size_t i = 0; i < 3000000 && !done.load() && now_seconds() < until; ++i)
            send_datagram(pool[i % pool.size()]);
    });
    usleep(1000000);                // the socket's queue is full by now
    EXPECT_EQ(daemon.stop(15), 0);  // the load goes on meanwhile
    done.store(true);
    flood.join();
    EXPECT_FALSE(file_exists(Daemon::kPidFile));

    std::vector<std::string> garbled = report_lines_of_well_formed_log();
    EXPECT_GT(garbled.size(), 10000u) << "the daemon was not under load";
    std::erase_if(garbled, [&](const std::string& line) { return sent_lines.count(line) > 0; });
    EXPECT_EQ(garbled, std::vector<std::string>{});
}

// The daily script holds the log for ten seconds while 5,000 reports arrive
// in five-frame datagrams: they wait in the socket, and all are logged after
// the script's output, in order.
TEST(Robustness, TenSecondDailyScriptLosesNoQueuedReport) {
    std::string faketime;
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                             "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1"})
        if (file_exists(path))
            faketime = path;
    if (faketime.empty())
        GTEST_SKIP() << "libfaketime is not installed";
    std::filesystem::create_directories("/home/disk1/etc/center");
    write_file("/home/disk1/etc/center/rp.daily",
               "#!/bin/sh\necho 'daily script start' >&2\ntouch /home/script-ran\nsleep 10\n"
               "echo 'daily script end' >&2\n",
               0755);
    Daemon daemon;
    // 01:59:58 site time: the script starts two seconds after the daemon.
    start(daemon, {"LD_PRELOAD=" + faketime, "FAKETIME=@2026-12-05 16:59:58",
                   "FAKETIME_DONT_RESET=1", "TZ=UTC"});
    for (int i = 0; i < 100 && !file_exists("/home/script-ran"); ++i)
        usleep(50000);
    ASSERT_TRUE(file_exists("/home/script-ran")) << "the script did not run";
    const double script_started = now_seconds();

    constexpr unsigned kReports = 5000;  // over about five seconds
    for (unsigned n = 0; n < kReports; n += 5) {
        ASSERT_TRUE(send_datagram(datagram_of("queued ", n, 5)));
        if (n % 25 == 20)
            usleep(25000);
    }
    ASSERT_LT(now_seconds() - script_started, 9.0) << "the reports must come while it runs";
    ASSERT_TRUE(wait_until_drained(20)) << "the queue was not taken after the script";
    EXPECT_EQ(daemon.stop(30), 0);  // waits for the pause after the script

    std::string log = read_file(kLogFile);
    const std::string script_lines = "daily script start\ndaily script end\n";
    const size_t script_at = log.find("\n" + script_lines);
    ASSERT_NE(script_at, std::string::npos) << "no script output, or a line inside it";
    std::vector<std::string> reports_after, expected;
    for (const std::string& line : unstamped_lines(log.substr(script_at)))
        if (line.rfind("LEVEL ", 0) == 0)
            reports_after.push_back(line);
    for (unsigned n = 0; n < kReports; ++n)
        expected.push_back(line_of("queued ", n));
    EXPECT_TRUE(reports_after == expected)
        << reports_after.size() << " report lines after the script: not all queued ones in order";
    // The script writes to the log unstamped; every other line is stamped.
    log.erase(script_at + 1, script_lines.size());
    EXPECT_TRUE(every_line_stamped(log));
    EXPECT_NE(log.find("> break by signal\n"), std::string::npos);
}

}  // namespace
