// main() of the end-to-end test binaries: private namespaces first, then the
// tests. CTest runs every test in its own process, so every test gets its
// own namespaces, port and /run.
#include <gtest/gtest.h>

#include <cstring>

#include "e2e/daemon_harness.h"

int main(int argc, char** argv) {
    bool listing = false;  // test discovery at build time needs no namespaces
    for (int i = 1; i < argc; ++i)
        listing |= strcmp(argv[i], "--gtest_list_tests") == 0;
    testing::InitGoogleTest(&argc, argv);
    if (!listing && !enter_private_namespaces())
        return 1;
    return RUN_ALL_TESTS();
}
