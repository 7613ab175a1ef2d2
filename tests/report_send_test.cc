// report_send, run as the real binary against a UDP socket on 127.0.0.1
// (ephemeral port, -p). Runs that need a name look-up or no network go into
// a private network namespace (lo down), so nothing leaves the machine.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "network/system/net_dgram_io.h"
#include "network/system/report_record.h"

namespace {

using Strings = std::vector<std::string>;
// Exit status, the first line of stdout, stderr from report_send's own first line.
using Outcome = std::tuple<int, std::string, std::string>;
constexpr size_t kFrame = kReportRecordSize + kDgramHeaderSize;  // 272
constexpr int kNoNamespace = 125;

// Runs report_send with "-p port" and `args`, with the sendto shim preloaded
// to refuse the first `refusals` calls with EAGAIN; `isolated`: in a network
// of its own.
Outcome run(const std::string& port, Strings args, const std::string& input, int refusals,
            bool isolated) {
    const int fds[3] = {memfd_create("in", 0), memfd_create("out", 0), memfd_create("err", 0)};
    EXPECT_EQ(pwrite(fds[0], input.data(), input.size(), 0), ssize_t(input.size()));
    args.insert(args.begin(), {REPORT_SEND_BINARY, "-p", port});
    std::vector<char*> argv(args.size() + 1);  // ends with a null
    for (size_t i = 0; i < args.size(); ++i)
        argv[i] = args[i].data();
    const pid_t child = fork();
    if (child == 0) {
        if (isolated && unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
            _exit(kNoNamespace);
        setenv("LD_PRELOAD", REPORT_SEND_FAULT_LIBRARY, 1);
        setenv("SENDTO_EAGAIN", std::to_string(refusals).c_str(), 1);
        setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
        dup2(fds[0], 0), dup2(fds[1], 1), dup2(fds[2], 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = -1;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    char text[2][4096] = {};
    EXPECT_GE(pread(fds[1], text[0], 4095, 0) + pread(fds[2], text[1], 4095, 0), 0);
    close(fds[0]), close(fds[1]), close(fds[2]);
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const char* own = strstr(text[1], "report_send: ");  // after the library's log lines
    return {status, std::string(text[0], strcspn(text[0], "\n")), own ? own : text[1]};
}

// The reports waiting in `fd` as "level:text", joined by "," within a
// datagram and "|" between datagrams; checks the serials (1, 2, 3... across
// datagrams), the zero record header, type 192 and the zero padding. The
// sender has ended, and loopback delivers within sendto.
std::string take(int fd) {
    std::string got;
    uint8_t d[65536];
    for (ssize_t size, serial = 1; (size = recv(fd, d, sizeof d, MSG_DONTWAIT)) >= 0;) {
        EXPECT_TRUE(size > 0 && size % kFrame == 0) << size;
        for (const uint8_t* f = d; f < d + size; f += kFrame, ++serial) {
            EXPECT_EQ(f[4] << 8 | f[5], serial);
            EXPECT_EQ(std::string(f + 6, f + 15), std::string(8, '\0') + char(REPORT_RECORD_TYPE));
            const std::string text(f + 16, f + kFrame);
            EXPECT_EQ(text.find_first_not_of('\0', text.find('\0')), std::string::npos);
            got += (got.empty() ? "" : f == d ? "|" : ",") + std::to_string(f[15]) + ":";
            got += text.c_str();
        }
    }
    return got;
}

}  // namespace

TEST(ReportSendTest, SendsOneReportPerArgumentOrLineAndRejectsBadCommandLines) {
    // The server's stand-in: 127.0.0.1, a port the kernel picks.
    const int server = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof address;
    EXPECT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string port = std::to_string(ntohs(address.sin_port)), e = "report_send: ";
    const std::string cut(256, 'a'), text = cut + "bcdefghij", w = e + "warning: ";
    const std::string usage = "usage: report_send [-H host] [-p port] [-L level] [TEXT...]";
    struct Case {
        Strings args;
        std::string input, reports;  // reports as take() gives them
        std::string err = "", out = "";
        int status = 0, refusals = 0;  // refusals: sendto calls refused with EAGAIN first
    } const cases[] = {
        {{"-L", "7", "disk full", "", "x  y", "-L", "9"}, "", "7:disk full,7:,7:x  y,7:-L,7:9"},
        {{"-H", "localhost", "-L", "255", "--", "-L", "5"}, "", "255:-L,255:5"},
        {{"1", "2", "3", "4", "5", "6", "7"}, "", "0:1,0:2,0:3,0:4,0:5|0:6,0:7", "", "", 0, 3},
        {{"-L", "3"}, "a\n\n\tb \nno newline", "3:a,3:,3:\tb ,3:no newline"},
        {{}, "1\n2\n3\n4\n5\n6\n7\n8\n9\n10\n", "0:1,0:2,0:3,0:4,0:5|0:6,0:7,0:8,0:9,0:10"},
        {{}, "", ""},
        {{cut, text}, "", "0:" + cut + ",0:" + cut, w + "text 2 is 265 bytes long, cut to 256\n"},
        {{}, "x\n" + text, "0:x,0:" + cut, w + "line 2 is 265 bytes long, cut to 256\n"},
        {{"-L", "256", "x"}, "", "", e + "bad level '256': must be 0 to 255\n", "", 2},
        {{"-L", "-1", "x"}, "", "", e + "bad level '-1': must be 0 to 255\n", "", 2},
        {{"-L", "abc", "x"}, "", "", e + "bad level 'abc': not an integer\n", "", 2},
        {{"-L", "3x", "x"}, "", "", e + "bad level '3x': not an integer\n", "", 2},
        {{"-p", "0", "x"}, "", "", e + "bad port '0': must be 1 to 65535\n", "", 2},
        {{"-p", "70000", "x"}, "", "", e + "bad port '70000': must be 1 to 65535\n", "", 2},
        {{"-x", "x"}, "", "", e + "unknown option '-x'\n" + usage + "\n", "", 2},
        {{"--bogus", "x"}, "", "", e + "unknown option '--bogus'\n" + usage + "\n", "", 2},
        {{"-L"}, "x\n", "", e + "option '-L' needs an argument\n" + usage + "\n", "", 2},
        {{"--help", "x"}, "", "", "", usage},
        // The last two run in a network of their own (lo down): no name
        // look-up leaves the machine, and sendto fails.
        {{"-H", "nohost.invalid", "x"}, "", "", e + "unknown host 'nohost.invalid'\n", "", 2},
        {{"-p", "9", "x"}, "", "", e + "sending to 127.0.0.1 port 9 failed\n", "", 1},
    };
    for (const Case& c : cases) {
        const Outcome got = run(port, c.args, c.input, c.refusals, &c >= std::end(cases) - 2);
        if (std::get<0>(got) == kNoNamespace)
            GTEST_SKIP() << "no private network namespace";
        EXPECT_EQ(got, Outcome(c.status, c.out, c.err)) << testing::PrintToString(c.args);
        EXPECT_EQ(take(server), c.reports) << testing::PrintToString(c.args);
    }
    close(server);
}
