// Shared main of every test executable.
#include <gtest/gtest.h>

#include "tests/support/socket_startup.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    brix_test::start_sockets();
    return RUN_ALL_TESTS();
}
