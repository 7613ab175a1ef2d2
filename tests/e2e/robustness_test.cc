// The running daemon under hostile and heavy input: a storm of random
// datagrams, SIGTERM while reports pour in, and a long daily script while
// reports queue up in the socket. Each test starts the real binary in its
// own namespaces with its log on tmpfs, sends only to 127.0.0.1:32730 and
// bounds every loop in count and time.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e/daemon_harness.h"
#include "network/system/net_dgram_io.h"
#include "network/system/record_codec.h"
#include "network/system/report_record.h"

namespace {

constexpr char kLogDir[] = "/home/logs";
constexpr char kLogFile[] = "/home/logs/32730.log";

int exit_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - status; }

double now_seconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

void start(Daemon& daemon, const std::vector<std::string>& env = {}) {
    ASSERT_EQ(daemon.run({"-l", kLogDir}, env), 0);
    ASSERT_TRUE(daemon.wait_for_pid_file()) << read_file(kLogFile);
    ASSERT_TRUE(daemon.wait_until_waiting_for_sigterm()) << read_file(kLogFile);
}

// The daemon's socket as /proc/net/udp shows it.
struct SocketCounters {
    bool found = false;
    unsigned long queued = 0;  // bytes waiting in the receive queue
    unsigned long drops = 0;   // datagrams the kernel dropped (queue full)
};

SocketCounters socket_counters() {
    SocketCounters counters;
    const std::string table = read_file("/proc/net/udp");
    size_t at = table.find(":7FDA ");
    if (at == std::string::npos) return counters;
    const size_t line_start = table.rfind('\n', at) + 1;
    const std::string line = table.substr(line_start, table.find('\n', at) - line_start);
    // sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
    unsigned long tx = 0, rx = 0, drops = 0;
    char local[64], remote[64];
    int slot = 0;
    unsigned state = 0;
    unsigned long ignored[6];
    unsigned long long pointer = 0;
    if (sscanf(line.c_str(), " %d: %63s %63s %x %lx:%lx %lx:%lx %lx %lu %lu %lu %lu %llx %lu", &slot,
               local, remote, &state, &tx, &rx, &ignored[0], &ignored[1], &ignored[2], &ignored[3],
               &ignored[4], &ignored[5], &ignored[5], &pointer, &drops) == 15) {
        counters.found = true;
        counters.queued = rx;
        counters.drops = drops;
    }
    return counters;
}

// Waits until the daemon has taken every queued datagram from its socket,
// then gives the last one's lines a moment. False after `seconds`.
bool wait_until_drained(double seconds) {
    const double deadline = now_seconds() + seconds;
    while (now_seconds() < deadline) {
        const SocketCounters counters = socket_counters();
        if (counters.found && counters.queued == 0) {
            usleep(200000);
            return true;
        }
        usleep(10000);
    }
    return false;
}

// "LEVEL n: (text)" with n from 0 to 255 and a text without a newline (the
// line was already split at newlines).
bool is_report_line(const std::string& line) {
    if (line.rfind("LEVEL ", 0) != 0) return false;
    size_t at = 6;
    int level = 0, digits = 0;
    while (at < line.size() && isdigit(static_cast<unsigned char>(line[at])) && digits < 4) {
        level = level * 10 + (line[at++] - '0');
        ++digits;
    }
    return digits >= 1 && level <= 255 && line.compare(at, 3, ": (") == 0 && line.back() == ')' &&
           line.size() >= at + 4;
}

// Checks the whole log: every line stamped and whole, the two start lines,
// then only report lines and "break by signal" (which the lines of the
// status thread's last passes may follow).
// Returns the report lines.
std::vector<std::string> well_formed_report_lines(const std::string& log) {
    std::vector<std::string> reports;
    EXPECT_TRUE(every_line_stamped(log)) << "a line without its stamp, or a partial last line";
    const std::vector<std::string> lines = unstamped_lines(log);
    EXPECT_GE(lines.size(), 3u);
    if (lines.size() < 3) return reports;
    EXPECT_EQ(lines[0].rfind("Server Name = ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "0.0.0.0");
    size_t end_line = lines.size();
    int strays = 0;
    for (size_t i = 2; i < lines.size(); ++i) {
        if (is_report_line(lines[i])) {
            reports.push_back(lines[i]);
        } else if (lines[i] == "break by signal" && end_line == lines.size()) {
            end_line = i;
        } else if (++strays <= 5) {
            ADD_FAILURE() << "line " << i + 1 << " is neither a report nor the end: " << lines[i];
        }
    }
    EXPECT_EQ(strays, 0);
    // The main thread writes its line, then stops the status thread, which
    // ends the pass it is in first: report lines may follow, nothing else.
    EXPECT_NE(end_line, lines.size()) << "\"break by signal\" is missing";
    return reports;
}

std::string report_text(const char* prefix, unsigned number) {
    char text[48];
    snprintf(text, sizeof text, "%s %07u", prefix, number);
    return text;
}

// A peer as the library makes one: reports packed with the record codec,
// framed by a DgramFrameWriter (serials from 1) and sent to 127.0.0.1:32730.
class ReportPeer {
  public:
    ReportPeer() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(32730);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        writer_.open(fd_, 0, &to);
    }
    ~ReportPeer() { close(fd_); }

    // Sends reports `first` to `first + count - 1` as one datagram of
    // `count` frames (five at most); false when it did not leave.
    bool send(const char* prefix, unsigned first, unsigned count) {
        for (unsigned n = first; n < first + count; ++n) {
            uint8_t record[kReportRecordSize] = {};
            RecordCodec::pack(record, kReportFormat, static_cast<int>(n % 8),
                              report_text(prefix, n).c_str());
            if (writer_.write_frame(record, sizeof record) != 1) return false;
        }
        // The writer's first send after open() only makes it active.
        for (int attempt = 0; attempt < 3 && writer_.fill() > 0; ++attempt) writer_.send();
        return writer_.fill() == 0;
    }

  private:
    int fd_ = -1;
    DgramFrameWriter writer_;
};

std::string expected_line(const char* prefix, unsigned number) {
    return "LEVEL " + std::to_string(number % 8) + ": (" + report_text(prefix, number) + ")";
}

// 20,000 datagrams of random sizes from 0 to 1500 bytes (longer than a
// datagram may be, and empty, included): random bytes; frames with valid
// headers whose CRC is wrong; single frames whose length fits but whose CRC
// is wrong. None may stop the daemon or put anything but well-formed lines
// into its log. Random bytes can leave up to six bytes in the reader that
// join the next datagram; a datagram whose first header claims more bytes
// than are held empties the reader, so two such datagrams reset it whatever
// the storm left, and every report after them must be logged.
TEST(Robustness, RandomDatagramStormThenEveryReportIsLogged) {
    Daemon daemon;
    start(daemon);

    std::mt19937 random(20261205);
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    auto random_bytes = [&](size_t n) {
        std::string bytes(n, '\0');
        for (char& c : bytes) c = static_cast<char>(random());
        return bytes;
    };
    auto with_bad_crc = [&](std::string frame) {
        const uint16_t wrong = static_cast<uint16_t>(1 + below(0xFFFF));
        frame[0] = static_cast<char>(frame[0] ^ (wrong >> 8));
        frame[1] = static_cast<char>(frame[1] ^ (wrong & 0xFF));
        return frame;
    };

    constexpr int kStorm = 20000;
    int failed_sends = 0;
    const double storm_started = now_seconds();
    for (int i = 0; i < kStorm && now_seconds() - storm_started < 20; ++i) {
        std::string datagram;
        switch (i % 4) {
            case 0:
            case 1:
                datagram = random_bytes(below(1501));
                break;
            case 2:  // report frames with wrong CRCs, up to 1500 bytes
                while (datagram.size() + 6 + kReportRecordSize <= 1500 && below(6) != 0) {
                    datagram += with_bad_crc(frame_of(report_record(
                        static_cast<int>(below(256)), "storm " + std::to_string(i))));
                }
                break;
            case 3: {  // one frame of random payload that fits, wrong CRC
                const size_t size = 7 + below(1494);
                datagram = with_bad_crc(frame_of(random_bytes(size - 6)));
                break;
            }
        }
        if (!send_datagram(datagram)) ++failed_sends;
        if (i % 256 == 255) usleep(1000);  // leave the daemon a moment now and then
    }
    EXPECT_EQ(failed_sends, 0);
    ASSERT_TRUE(wait_until_drained(10)) << "the daemon stopped reading";
    ASSERT_TRUE(daemon.running());
    printf("storm: %d datagrams in %.2f s, %lu dropped by the kernel\n", kStorm,
           now_seconds() - storm_started, socket_counters().drops);

    const std::string overlong_header(64, '\xFF');  // claims 65535 payload bytes
    ASSERT_TRUE(send_datagram(overlong_header));
    ASSERT_TRUE(send_datagram(overlong_header));
    // After them: single frames and five-frame datagrams, 100 reports.
    ReportPeer peer;
    std::vector<std::string> expected;
    for (unsigned n = 0; n < 100;) {
        const unsigned frames = (n / 10) % 2 == 0 ? 1 : 5;
        ASSERT_TRUE(peer.send("after the storm", n, frames));
        for (unsigned k = n; k < n + frames; ++k) expected.push_back(expected_line("after the storm", k));
        n += frames;
    }
    ASSERT_TRUE(wait_until_drained(10));
    ASSERT_TRUE(daemon.running());

    EXPECT_EQ(exit_code(daemon.stop()), 0);
    const std::string log = read_file(kLogFile);
    const std::vector<std::string> reports = well_formed_report_lines(log);
    ASSERT_GE(reports.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(reports.end() - static_cast<long>(expected.size()), reports.end()),
              expected);
    printf("report lines from the storm itself: %zu\n", reports.size() - expected.size());
}

// A peer that sends five-frame datagrams as fast as it can from its own
// thread, until told to stop or after `seconds` or `max_datagrams`.
// Datagrams are made before the clock starts and sent round and round.
class FloodPeer {
  public:
    static constexpr unsigned kPool = 512;
    static constexpr unsigned kFrames = 5;

    FloodPeer() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        for (unsigned d = 0; d < kPool; ++d) {
            std::string datagram;
            for (unsigned f = 0; f < kFrames; ++f) {
                std::string record(kReportRecordSize, '\0');
                const unsigned n = d * kFrames + f;
                RecordCodec::pack(record.data(), kReportFormat, static_cast<int>(n % 8),
                                  report_text("flood", n).c_str());
                datagram += frame_of(record, static_cast<uint16_t>(n + 1));
            }
            pool_.push_back(datagram);
        }
    }
    ~FloodPeer() {
        stop();
        close(fd_);
    }

    void start(double seconds, uint64_t max_datagrams) {
        thread_ = std::thread([this, seconds, max_datagrams] {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(32730);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const double until = now_seconds() + seconds;
            for (uint64_t i = 0; i < max_datagrams && !stop_.load() && now_seconds() < until; ++i) {
                const std::string& datagram = pool_[i % kPool];
                if (sendto(fd_, datagram.data(), datagram.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to) > 0)
                    sent_.fetch_add(1);
            }
        });
    }
    void stop() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    uint64_t sent() const { return sent_.load(); }

    // Whether `line` is the report line of one of the pool's frames.
    static bool is_flood_line(const std::string& line) {
        unsigned n = 0;
        int level = -1;
        char tail = 0;
        return sscanf(line.c_str(), "LEVEL %d: (flood %7u%c", &level, &n, &tail) == 3 && tail == ')' &&
               n < kPool * kFrames && line == expected_line("flood", n);
    }

  private:
    int fd_ = -1;
    std::vector<std::string> pool_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> sent_{0};
};

// SIGTERM while datagrams arrive faster than the daemon takes them: it ends
// with status 0, every line it wrote is whole, and it logged "break by
// signal".
TEST(Robustness, SigtermUnderFullLoadEndsCleanly) {
    Daemon daemon;
    start(daemon);
    FloodPeer flood;
    flood.start(/*seconds=*/6, /*max_datagrams=*/3000000);
    usleep(1000000);  // the socket's queue is full by now
    const uint64_t sent_before_sigterm = flood.sent();
    const int status = daemon.stop(15);  // load goes on meanwhile
    flood.stop();
    EXPECT_EQ(exit_code(status), 0) << "wait status " << status;
    EXPECT_FALSE(file_exists(Daemon::kPidFile));

    const std::string log = read_file(kLogFile);
    const std::vector<std::string> reports = well_formed_report_lines(log);
    int foreign = 0;
    for (const std::string& line : reports) {
        if (!FloodPeer::is_flood_line(line) && ++foreign <= 5) ADD_FAILURE() << "garbled: " << line;
    }
    EXPECT_EQ(foreign, 0);
    // The daemon really was under load: it logged many reports, and fewer
    // than were sent (the socket overflowed).
    EXPECT_GT(reports.size(), 10000u);
    printf("%llu datagrams sent before SIGTERM, %llu in all; %zu reports logged\n",
           static_cast<unsigned long long>(sent_before_sigterm),
           static_cast<unsigned long long>(flood.sent()), reports.size());
}

std::string faketime_library() {
    for (const char* path : {"/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1",
                             "/usr/lib/aarch64-linux-gnu/faketime/libfaketimeMT.so.1"}) {
        if (file_exists(path)) return path;
    }
    return "";
}

int index_of(const std::vector<std::string>& lines, const std::string& start) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].rfind(start, 0) == 0) return static_cast<int>(i);
    }
    return -1;
}

// The daily script holds the log for ten seconds while 5,000 reports arrive
// in 1,000 five-frame datagrams: they wait in the socket's receive queue,
// none is dropped, and all are logged after the script, in order.
TEST(Robustness, TenSecondDailyScriptLosesNoQueuedReport) {
    if (faketime_library().empty()) GTEST_SKIP() << "libfaketime is not installed";
    mkdir("/home/disk1", 0755);
    mkdir("/home/disk1/etc", 0755);
    mkdir("/home/disk1/etc/center", 0755);
    const std::string ran_mark = "/home/script-ran";
    write_file("/home/disk1/etc/center/rp.daily",
               "#!/bin/sh\n"
               "echo 'daily script start' >&2\n"
               "touch " + ran_mark + "\n"
               "sleep 10\n"
               "echo 'daily script end' >&2\n",
               0755);

    Daemon daemon;
    // 01:59:58 site time: the script starts two seconds after the daemon.
    start(daemon, {"LD_PRELOAD=" + faketime_library(), "FAKETIME=@2026-12-05 16:59:58",
                   "FAKETIME_DONT_RESET=1", "TZ=UTC"});
    for (int i = 0; i < 100 && !file_exists(ran_mark); ++i) usleep(50000);
    ASSERT_TRUE(file_exists(ran_mark)) << "the script did not run";
    const double script_started = now_seconds();

    // 1,000 datagrams over about five seconds, well inside the run.
    ReportPeer peer;
    constexpr unsigned kReports = 5000;
    for (unsigned n = 0; n < kReports; n += 5) {
        ASSERT_TRUE(peer.send("queued", n, 5));
        if (n % 25 == 20) usleep(25000);
    }
    const double sent_after = now_seconds() - script_started;
    const SocketCounters while_held = socket_counters();
    ASSERT_LT(sent_after, 9.0) << "the reports must arrive while the script runs";
    EXPECT_GT(while_held.queued, 900u * 5 * (kReportRecordSize + 6)) << "the reports wait in the socket";
    EXPECT_EQ(while_held.drops, 0u);

    ASSERT_TRUE(wait_until_drained(20)) << "the queue was not taken after the script";
    EXPECT_EQ(socket_counters().drops, 0u);
    EXPECT_EQ(exit_code(daemon.stop(30)), 0);  // waits for the pause after the script

    const std::string log = read_file(kLogFile);
    const std::vector<std::string> lines = unstamped_lines(log);
    const int script_start = index_of(lines, "daily script start");
    const int script_end = index_of(lines, "daily script end");
    ASSERT_GE(script_start, 0) << log.substr(0, 2000);
    ASSERT_EQ(script_end, script_start + 1) << "no report line inside the script's output";
    // The script writes straight to the log, unstamped; every other line is
    // the daemon's and stamped.
    std::string daemon_lines;
    for (size_t at = 0, i = 0; at < log.size(); ++i) {
        const size_t end = log.find('\n', at);
        const size_t next = end == std::string::npos ? log.size() : end + 1;
        if (i != static_cast<size_t>(script_start) && i != static_cast<size_t>(script_end))
            daemon_lines += log.substr(at, next - at);
        at = next;
    }
    EXPECT_TRUE(every_line_stamped(daemon_lines));
    std::vector<std::string> after_script, expected;
    for (size_t i = static_cast<size_t>(script_end) + 1; i < lines.size(); ++i) {
        if (lines[i].rfind("LEVEL ", 0) == 0) after_script.push_back(lines[i]);
    }
    for (unsigned n = 0; n < kReports; ++n) expected.push_back(expected_line("queued", n));
    EXPECT_EQ(after_script.size(), expected.size());
    EXPECT_TRUE(after_script == expected) << "the queued reports, in order, after the script";
    std::string other_lines;  // shown when the end is not as it should be
    for (const std::string& line : lines) {
        if (line.rfind("LEVEL ", 0) != 0 && other_lines.size() < 4000) other_lines += line + "\n";
    }
    EXPECT_NE(std::find(lines.begin(), lines.end(), "break by signal"), lines.end()) << other_lines;
}

}  // namespace
