#include "network/system/net_function.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <nss.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/stderr_capture.h"

constexpr char kErrnoReport[] = "Error: network/system/net_function.cc(";

// While set, gethostname fails as it would for a name longer than the
// buffer; otherwise the C library's own runs.
static bool hostname_fails = false;

extern "C" int gethostname(char* name, size_t length) noexcept {
    if (hostname_fails) {
        errno = ENAMETOOLONG;
        return -1;
    }
    using Real = int (*)(char*, size_t);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "gethostname"));
    return real(name, length);
}

TEST(NetHostTest, LookupsAndTheirReports) {
    NetHost host;
    char expected[256] = {};
    ASSERT_EQ(gethostname(expected, sizeof expected), 0);
    EXPECT_STREQ(host.host_name(), expected);
    StderrCapture capture;
    hostname_fails = true;
    EXPECT_STREQ(host.host_name(), "127.0.0.1");
    hostname_fails = false;
    EXPECT_EQ(count_of(capture.text(), kErrnoReport), 1);

    // Host names come from /etc/hosts only, so no look-up leaves the machine.
    ASSERT_EQ(__nss_configure_lookup("hosts", "files"), 0);
    const int descriptors = open_descriptor_count();
    EXPECT_EQ(host.resolve("no-such-host.invalid"), nullptr);
    uint8_t address[4] = {};
    ASSERT_EQ(host.interface_address("lo", address), 1);
    EXPECT_EQ(memcmp(address, "\x7F\x00\x00\x01", 4), 0);
    EXPECT_EQ(count_of(capture.text(), "\n"), 1);  // neither wrote a line
    EXPECT_EQ(host.interface_address("no-such-if0", address), 0);
    EXPECT_EQ(count_of(capture.text(), kErrnoReport), 2);
    EXPECT_EQ(open_descriptor_count(), descriptors);

    host.log_address(htonl(0xC0A80102));
    host.log_address(htonl(INADDR_ANY));
    EXPECT_EQ(count_of(capture.text(), "> 192.168.1.2\n"), 1);
    EXPECT_EQ(count_of(capture.text(), "> 0.0.0.0\n"), 1);
}

// In a private network namespace of a child process, lo is renamed to a
// 15-character name and asked for by a 20-character name that starts with
// it. Child exit status: 0 found, 1 not found, 2 no namespace here.
TEST(NetHostTest, InterfaceNamesAreCutTo15Characters) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ifreq rename{.ifr_ifrn = {"lo"}, .ifr_ifru = {.ifru_newname = "fifteen-letters"}};
        const int control = unshare(CLONE_NEWNET) == 0 ? socket(AF_INET, SOCK_DGRAM, 0) : -1;
        if (control < 0 || ioctl(control, SIOCSIFNAME, &rename) != 0)
            _exit(2);
        uint8_t hw[6];
        _exit(NetHost().interface_hw_address("fifteen-letters-more", hw) == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "no private network namespace here";
    EXPECT_EQ(status, 0);  // exited, and with 0
}
