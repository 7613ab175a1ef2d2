#include "network/system/net_function.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <nss.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/stderr_capture.h"

namespace {

constexpr char kErrnoReport[] = "Error: network/system/net_function.cc(";

// While set, gethostname fails as it would for a name longer than the
// buffer; otherwise the C library's own runs.
bool hostname_fails = false;

// Host names come from /etc/hosts only, so no look-up leaves the machine.
void keep_lookups_local() {
    ASSERT_EQ(__nss_configure_lookup("hosts", "files"), 0);
}

sockaddr_in loopback_address() {
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

uint32_t address_of(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t octets[4] = {a, b, c, d};
    uint32_t address;
    memcpy(&address, octets, sizeof address);
    return address;
}

}  // namespace

extern "C" int gethostname(char* name, size_t length) noexcept {
    if (hostname_fails) {
        errno = ENAMETOOLONG;
        return -1;
    }
    using Real = int (*)(char*, size_t);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "gethostname"));
    return real(name, length);
}

TEST(NetHostTest, HostNameFallsBackTo127001WithOneReport) {
    NetHost host;
    char expected[256] = {};
    ASSERT_EQ(gethostname(expected, sizeof expected), 0);
    EXPECT_STREQ(host.host_name(), expected);

    StderrCapture capture;
    hostname_fails = true;
    const char* name = host.host_name();
    hostname_fails = false;
    EXPECT_STREQ(name, "127.0.0.1");
    EXPECT_EQ(count_of(capture.text(), kErrnoReport), 1);
}

TEST(NetHostTest, LogAddressWritesDottedOctets) {
    StderrCapture capture;
    NetHost().log_address(address_of(0xC0, 0xA8, 0x01, 0x02));
    NetHost().log_address(htonl(INADDR_ANY));
    NetHost().log_address(address_of(0xFF, 0x80, 0x00, 0x7F));
    const std::string text = capture.text();
    EXPECT_EQ(count_of(text, "> 192.168.1.2\n"), 1);
    EXPECT_EQ(count_of(text, "> 0.0.0.0\n"), 1);
    EXPECT_EQ(count_of(text, "> 255.128.0.127\n"), 1);
}

TEST(NetHostTest, InterfaceLookupsCloseTheirSocketOnEveryPath) {
    NetHost host;
    StderrCapture capture;
    const int descriptors = open_descriptor_count();
    uint8_t address[4] = {};
    ASSERT_EQ(host.interface_address("lo", address), 1);
    EXPECT_EQ(address_of(address[0], address[1], address[2], address[3]), htonl(INADDR_LOOPBACK));
    uint8_t hw[6];
    memset(hw, 0xEE, sizeof hw);
    EXPECT_EQ(host.interface_hw_address("lo", hw), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(hw), 6), std::string(6, '\0'));
    EXPECT_EQ(capture.text(), "");

    EXPECT_EQ(host.interface_address("no-such-if0", address), 0);
    EXPECT_EQ(count_of(capture.text(), kErrnoReport), 1);
    EXPECT_EQ(host.interface_hw_address("no-such-interface-at-all", hw), 0);
    EXPECT_EQ(count_of(capture.text(), kErrnoReport), 2);
    EXPECT_EQ(count_of(capture.text(), "No such device"), 2);
    EXPECT_EQ(open_descriptor_count(), descriptors);
}

// In a private network namespace of a child process, lo is renamed to a
// 15-character name; asked for by a 20-character name sharing those 15, the
// interface must be found. Child exit status: 0 found, 1 not found, 2 the
// namespace could not be set up.
TEST(NetHostTest, InterfaceNamesAreCutTo15Characters) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ifreq rename;
        memset(&rename, 0, sizeof rename);
        strcpy(rename.ifr_name, "lo");
        strcpy(rename.ifr_newname, "fifteen-letters");
        const int control = unshare(CLONE_NEWNET) == 0 ? socket(AF_INET, SOCK_DGRAM, 0) : -1;
        if (control < 0 || ioctl(control, SIOCSIFNAME, &rename) != 0)
            _exit(2);
        uint8_t hw[6];
        NetHost host;
        _exit(host.interface_hw_address("fifteen-letters-more", hw) == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "no private network namespace here";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(NetHostTest, ResolveAndNameInfo) {
    keep_lookups_local();
    NetHost host;
    StderrCapture capture;
    char** list = host.resolve("localhost");
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list[0], nullptr);
    EXPECT_EQ(address_of(list[0][0], list[0][1], list[0][2], list[0][3]), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(host.resolve("no-such-host.invalid"), nullptr);
    EXPECT_EQ(capture.text(), "");

    sockaddr_in peer = loopback_address();
    EXPECT_STREQ(host.name_info(&peer), "localhost");
    EXPECT_EQ(host.name_info(&peer), host.host_name());  // one shared buffer
    peer.sin_family = AF_UNSPEC;
    EXPECT_EQ(host.name_info(&peer), nullptr);
    EXPECT_EQ(count_of(capture.text(), kErrnoReport), 1);
}

TEST(NetHostTest, SocketAddressIsZeroWithoutAnIpv4Name) {
    NetHost host;
    StderrCapture capture;
    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(udp, 0);
    const sockaddr_in local = loopback_address();
    ASSERT_EQ(bind(udp, reinterpret_cast<const sockaddr*>(&local), sizeof local), 0);
    EXPECT_EQ(host.socket_address(udp), htonl(INADDR_LOOPBACK));
    close(udp);

    EXPECT_EQ(host.socket_address(-1), 0u);
    // A local socket's name (here an autobound abstract one, "\0" and five
    // hex digits) would put name bytes where an IPv4 address sits.
    const int local_socket = socket(AF_UNIX, SOCK_DGRAM, 0);
    ASSERT_GE(local_socket, 0);
    sockaddr_un name;
    memset(&name, 0, sizeof name);
    name.sun_family = AF_UNIX;
    ASSERT_EQ(bind(local_socket, reinterpret_cast<sockaddr*>(&name), sizeof name.sun_family), 0);
    EXPECT_EQ(host.socket_address(local_socket), 0u);
    close(local_socket);
    EXPECT_EQ(capture.text(), "");
}
