// report_send, run as the real binary. Each test binds a UDP socket on
// 127.0.0.1 with an ephemeral port, runs the sender against it (-p), and
// takes apart the datagrams that arrived: frames with a valid CRC-16 and
// serials 1, 2, 3... across datagrams, each carrying a 266-byte report record
// with zero header bytes, type 192, the level and the zero-padded text.
// The unknown-host run and the run that needs a missing network go into a
// private network namespace of their own (lo down), so that nothing, not
// even a name look-up, leaves the machine.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "network/system/net_dgram_io.h"
#include "network/system/report_record.h"

#ifndef REPORT_SEND_BINARY
#error "REPORT_SEND_BINARY must name the report_send binary under test"
#endif
#ifndef REPORT_SEND_FAULT_LIBRARY
#error "REPORT_SEND_FAULT_LIBRARY must name the sendto fault library"
#endif

namespace {

constexpr int kFrameSize = kReportRecordSize + 6;
constexpr int kNoNamespace = 125;  // the child could not leave the shared network

struct Outcome {
    int status = -1;  // exit status; -1 when the child did not exit normally
    std::string out;
    std::string err;
};

int memory_file(const std::string& contents) {
    const int fd = memfd_create("report_send_test", 0);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

std::string contents_of(int fd) {
    std::string text;
    char chunk[4096];
    ssize_t got;
    lseek(fd, 0, SEEK_SET);
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, got);
    return text;
}

// Runs report_send with `args`, standard input from `input_fd` and the
// extra environment entries `env`; with `private_network`, in a network
// namespace of its own.
Outcome run_with_input(const std::vector<std::string>& args, int input_fd,
                       bool private_network = false, const std::vector<std::string>& env = {}) {
    const int out = memory_file(""), err = memory_file("");
    std::vector<char*> argv{const_cast<char*>(REPORT_SEND_BINARY)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (private_network && unshare(CLONE_NEWNET) != 0 &&
            unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            _exit(kNoNamespace);
        for (const std::string& entry : env)
            putenv(const_cast<char*>(entry.c_str()));
        dup2(input_fd, 0);
        dup2(out, 1);
        dup2(err, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    Outcome outcome;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    outcome.out = contents_of(out);
    outcome.err = contents_of(err);
    close(out);
    close(err);
    return outcome;
}

Outcome run(const std::vector<std::string>& args, const std::string& input = "",
            bool private_network = false, const std::vector<std::string>& env = {}) {
    const int in = memory_file(input);
    Outcome outcome = run_with_input(args, in, private_network, env);
    close(in);
    return outcome;
}

// A UDP socket on 127.0.0.1 with an ephemeral port: the server's stand-in.
class Listener {
  public:
    Listener() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length), 0);
        port_ = std::to_string(ntohs(address.sin_port));
    }
    ~Listener() { close(fd_); }

    const std::string& port() const { return port_; }

    // Every datagram waiting in the socket. The sender has ended before
    // this is called, and loopback delivery happens within sendto.
    std::vector<std::string> datagrams() {
        std::vector<std::string> all;
        char buffer[65536];
        ssize_t got;
        while ((got = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) >= 0)
            all.emplace_back(buffer, got);
        return all;
    }

  private:
    int fd_ = -1;
    std::string port_;
};

struct Report {
    int level;
    std::string text;
    bool operator==(const Report&) const = default;
};

void PrintTo(const Report& report, std::ostream* os) {
    *os << "{" << report.level << ", \"" << report.text << "\"}";
}

unsigned byte_at(const std::string& bytes, size_t offset) {
    return static_cast<uint8_t>(bytes[offset]);
}

// Takes the frames of each datagram apart, checking the framing and the
// fixed parts of each record; returns the reports in order.
std::vector<Report> reports_in(const std::vector<std::string>& datagrams) {
    std::vector<Report> reports;
    unsigned serial = 0;
    for (const std::string& datagram : datagrams) {
        EXPECT_LE(datagram.size(), static_cast<size_t>(DGRAM_MAX));
        for (size_t at = 0; at < datagram.size(); at += kFrameSize) {
            const std::string frame = datagram.substr(at, kFrameSize);
            if (frame.size() < 6 || byte_at(frame, 2) * 256 + byte_at(frame, 3) != 266 ||
                frame.size() != static_cast<size_t>(kFrameSize)) {
                ADD_FAILURE() << "frame at " << at << " is not a 266-byte frame";
                return reports;
            }
            const std::string record = frame.substr(6);
            EXPECT_EQ(
                byte_at(frame, 0) * 256 + byte_at(frame, 1),
                net_dgram_crc16(reinterpret_cast<const uint8_t*>(record.data()), record.size()));
            EXPECT_EQ(byte_at(frame, 4) * 256 + byte_at(frame, 5), ++serial);
            EXPECT_EQ(record.substr(0, 8), std::string(8, '\0'));
            EXPECT_EQ(byte_at(record, 8), REPORT_RECORD_TYPE);
            const std::string field = record.substr(10);
            const std::string text = field.substr(0, field.find('\0'));
            EXPECT_EQ(field.substr(text.size()), std::string(field.size() - text.size(), '\0'));
            reports.push_back({static_cast<int>(byte_at(record, 9)), text});
        }
    }
    return reports;
}

std::vector<size_t> sizes_of(const std::vector<std::string>& datagrams) {
    std::vector<size_t> sizes;
    for (const std::string& datagram : datagrams)
        sizes.push_back(datagram.size());
    return sizes;
}

std::string long_text(size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i)
        text += static_cast<char>('a' + i % 26);
    return text;
}

}  // namespace

TEST(ReportSendTest, SendsOneReportPerArgument) {
    Listener server;
    const Outcome sent = run({"-p", server.port(), "-L", "7", "disk full", "", "x  y"});
    EXPECT_EQ(sent.status, 0);
    EXPECT_EQ(sent.out, "");
    EXPECT_EQ(sent.err, "");
    const std::vector<std::string> datagrams = server.datagrams();
    EXPECT_EQ(sizes_of(datagrams), std::vector<size_t>{3 * kFrameSize});
    EXPECT_EQ(reports_in(datagrams), (std::vector<Report>{{7, "disk full"}, {7, ""}, {7, "x  y"}}));

    // A host name, the top level, and "--" before a text that looks like
    // an option; options after the first text are texts.
    const Outcome named =
        run({"-H", "localhost", "-p", server.port(), "-L", "255", "--", "-L", "5", "-p"});
    EXPECT_EQ(named.status, 0);
    EXPECT_EQ(reports_in(server.datagrams()),
              (std::vector<Report>{{255, "-L"}, {255, "5"}, {255, "-p"}}));
    EXPECT_EQ(run({"-p", server.port(), "first", "-L", "9"}).status, 0);
    EXPECT_EQ(reports_in(server.datagrams()),
              (std::vector<Report>{{0, "first"}, {0, "-L"}, {0, "9"}}));
}

TEST(ReportSendTest, PacksAtMostFiveFramesPerDatagram) {
    Listener server;
    std::vector<std::string> args{"-p", server.port()};
    std::vector<Report> expected;
    for (int i = 1; i <= 7; ++i) {
        args.push_back("report " + std::to_string(i));
        expected.push_back({0, args.back()});
    }
    EXPECT_EQ(run(args).status, 0);
    std::vector<std::string> datagrams = server.datagrams();
    EXPECT_EQ(sizes_of(datagrams), (std::vector<size_t>{5 * kFrameSize, 2 * kFrameSize}));
    EXPECT_EQ(reports_in(datagrams), expected);

    // Ten reports fill two datagrams exactly, with no empty third one.
    for (int i = 8; i <= 10; ++i)
        args.push_back("report " + std::to_string(i));
    EXPECT_EQ(run(args).status, 0);
    datagrams = server.datagrams();
    EXPECT_EQ(sizes_of(datagrams), (std::vector<size_t>{5 * kFrameSize, 5 * kFrameSize}));
    EXPECT_EQ(reports_in(datagrams).back(), (Report{0, "report 10"}));
}

TEST(ReportSendTest, SendsOneReportPerLineOfStandardInput) {
    Listener server;
    Outcome sent = run({"-p", server.port(), "-L", "3"}, "disk full\n\n\tindented \nno newline");
    EXPECT_EQ(sent.status, 0);
    EXPECT_EQ(sent.err, "");
    EXPECT_EQ(
        reports_in(server.datagrams()),
        (std::vector<Report>{{3, "disk full"}, {3, ""}, {3, "\tindented "}, {3, "no newline"}}));

    // Lines are framed five to a datagram like arguments.
    EXPECT_EQ(run({"-p", server.port()}, "1\n2\n3\n4\n5\n6\n").status, 0);
    const std::vector<std::string> datagrams = server.datagrams();
    EXPECT_EQ(sizes_of(datagrams), (std::vector<size_t>{5 * kFrameSize, kFrameSize}));
    EXPECT_EQ(reports_in(datagrams).back(), (Report{0, "6"}));

    // No input, no report.
    sent = run({"-p", server.port()}, "");
    EXPECT_EQ(sent.status, 0);
    EXPECT_TRUE(server.datagrams().empty());
}

TEST(ReportSendTest, CutsLongTextsToTheFieldWithAWarning) {
    Listener server;
    const std::string text = long_text(300);
    Outcome sent = run({"-p", server.port(), long_text(256), text});
    EXPECT_EQ(sent.status, 0);
    EXPECT_NE(sent.err.find("report_send: warning: text 2 is 300 bytes long"), std::string::npos)
        << sent.err;
    EXPECT_EQ(sent.err.find("text 1"), std::string::npos) << "256 bytes fit the field";
    EXPECT_EQ(reports_in(server.datagrams()),
              (std::vector<Report>{{0, long_text(256)}, {0, text.substr(0, 256)}}));

    sent = run({"-p", server.port()}, "short\n" + text + "\n");
    EXPECT_EQ(sent.status, 0);
    EXPECT_NE(sent.err.find("line 2 is 300 bytes long, cut to 256"), std::string::npos) << sent.err;
    EXPECT_EQ(reports_in(server.datagrams()),
              (std::vector<Report>{{0, "short"}, {0, text.substr(0, 256)}}));
}

TEST(ReportSendTest, RejectsBadArgumentsWithoutSending) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"-L", "256", "x"}, "report_send: bad level '256': must be 0 to 255"},
        {{"-L", "-1", "x"}, "report_send: bad level '-1': must be 0 to 255"},
        {{"-L", "abc", "x"}, "report_send: bad level 'abc': not an integer"},
        {{"-L", "3x", "x"}, "report_send: bad level '3x': not an integer"},
        {{"-L", "", "x"}, "report_send: bad level '': not an integer"},
        {{"-L", "99999999999999999999", "x"}, "report_send: bad level '99999999999999999999'"},
        {{"-p", "0", "x"}, "report_send: bad port '0': must be 1 to 65535"},
        {{"-p", "70000", "x"}, "report_send: bad port '70000': must be 1 to 65535"},
        {{"-p", "http", "x"}, "report_send: bad port 'http': not an integer"},
        {{"-x", "x"}, "report_send: unknown option '-x'"},
        {{"--bogus", "x"}, "report_send: unknown option '--bogus'"},
        {{"-L"}, "report_send: option '-L' needs an argument"},
    };
    Listener server;
    for (const Case& bad : cases) {
        std::vector<std::string> args{"-p", server.port()};
        args.insert(args.end(), bad.args.begin(), bad.args.end());
        const Outcome outcome = run(args, "from standard input\n");
        EXPECT_EQ(outcome.status, 2) << bad.message;
        EXPECT_NE(outcome.err.find(bad.message), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.out, "") << bad.message;
        EXPECT_TRUE(server.datagrams().empty()) << bad.message;
    }
}

TEST(ReportSendTest, RetriesSendsTheSocketRefusesForNow) {
    // sendto refuses the first three datagrams with EAGAIN; the sender
    // waits and sends them again, so every report arrives once, in order.
    Listener server;
    std::vector<std::string> args{"-p", server.port()};
    std::vector<Report> expected;
    for (int i = 1; i <= 7; ++i) {
        args.push_back("report " + std::to_string(i));
        expected.push_back({0, args.back()});
    }
    const Outcome sent = run(args, "", false,
                             {"LD_PRELOAD=" REPORT_SEND_FAULT_LIBRARY, "SENDTO_EAGAIN=3",
                              "ASAN_OPTIONS=verify_asan_link_order=0"});
    EXPECT_EQ(sent.status, 0);
    EXPECT_EQ(sent.err, "");
    const std::vector<std::string> datagrams = server.datagrams();
    EXPECT_EQ(sizes_of(datagrams), (std::vector<size_t>{5 * kFrameSize, 2 * kFrameSize}));
    EXPECT_EQ(reports_in(datagrams), expected);
}

TEST(ReportSendTest, UnknownHostIsABadArgument) {
    const Outcome outcome = run({"-H", "no-such-host.invalid", "x"}, "", true);
    if (outcome.status == kNoNamespace)
        GTEST_SKIP() << "no private network namespace for the look-up";
    EXPECT_EQ(outcome.status, 2);
    EXPECT_NE(outcome.err.find("report_send: unknown host 'no-such-host.invalid'"),
              std::string::npos)
        << outcome.err;
}

TEST(ReportSendTest, InputAndSocketFailuresEndWithStatusOne) {
    // Without a network (loopback down) the send itself fails: the writer
    // enters its failed state and the sender says where it was sending.
    const Outcome unreachable = run({"-p", "4000", "x"}, "", true);
    if (unreachable.status == kNoNamespace)
        GTEST_SKIP() << "no private network namespace";
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_NE(unreachable.err.find("report_send: sending to 127.0.0.1 port 4000 failed"),
              std::string::npos)
        << unreachable.err;

    // Standard input that cannot be read (a directory).
    Listener server;
    const int directory = open("/", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(directory, 0);
    const Outcome unreadable = run_with_input({"-p", server.port()}, directory);
    close(directory);
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_NE(unreadable.err.find("report_send: reading standard input"), std::string::npos)
        << unreadable.err;
}

TEST(ReportSendTest, HelpGoesToStandardOutput) {
    Listener server;
    for (const char* help : {"-h", "--help"}) {
        const Outcome outcome = run({"-p", server.port(), help, "x"});
        EXPECT_EQ(outcome.status, 0) << help;
        EXPECT_EQ(
            outcome.out.rfind("usage: report_send [-H host] [-p port] [-L level] [TEXT...]\n", 0),
            0u)
            << help;
        EXPECT_EQ(outcome.err, "") << help;
        EXPECT_TRUE(server.datagrams().empty()) << help;
    }
}
