// Entry of the test binaries that use the real time ports: they run in a
// private network namespace so that nothing leaves the machine and the
// ports are free.
#include <cstdio>

#include <gtest/gtest.h>

#include "tests/support/private_network.h"

int main(int argc, char** argv) {
    if (!tavrel::test::enterPrivateNetwork()) {
        std::fprintf(stderr, "cannot enter a private network namespace (needs root or user namespaces)\n");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
