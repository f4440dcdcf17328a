// Every test program's main: it starts the socket library first, as the daemon does.
#include <gtest/gtest.h>

#include "net_tools/socket_ops.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!net_tools::socket_ops::start()) return 2;
    return RUN_ALL_TESTS();
}
