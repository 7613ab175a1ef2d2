// NetHost look-ups the daemon's own tests do not reach: the host name's
// fallback, resolve(), interface addresses and the address line. (The host
// name itself is exercised end to end by the daemon.)
// The C library's own gethostname is replaced below; its fortified inline
// wrapper would be a second definition under clang.
#undef _FORTIFY_SOURCE
#include "network/system/net_function.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "support/test_support.h"

static bool hostname_fails = false;  // while set, gethostname fails as for a long name

extern "C" int gethostname(char* name, size_t length) noexcept {
    static const auto real =
        reinterpret_cast<int (*)(char*, size_t)>(dlsym(RTLD_NEXT, "gethostname"));
    return hostname_fails ? (errno = ENAMETOOLONG, -1) : real(name, length);
}

TEST(NetHostTest, LookupsAndTheirReports) {
    NetHost host;
    testing::internal::CaptureStderr();
    hostname_fails = true;
    EXPECT_STREQ(host.host_name(), "127.0.0.1");
    hostname_fails = false;
    char** const local = host.resolve("localhost");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(memcmp(local[0], "\x7F\x00\x00\x01", 4), 0);
    EXPECT_EQ(host.resolve("no such host"), nullptr);  // not a host name: no name server asked
    const sockaddr_in loopback = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    EXPECT_STREQ(host.name_info(&loopback), "localhost");
    uint8_t address[6] = {};
    EXPECT_EQ(host.interface_address("lo", address), 1);
    EXPECT_EQ(memcmp(address, "\x7F\x00\x00\x01", 4), 0);
    EXPECT_EQ(host.interface_hw_address("lo", address), 1);
    EXPECT_EQ(host.interface_address("no-such-if0", address), 0);
    host.log_address(htonl(0xC0A80102));
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count_of(text, "> Error: network/system/net_function.cc("), 2);
    EXPECT_EQ(count_of(text, "> 192.168.1.2\n"), 1);
}
