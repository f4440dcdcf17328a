// Shared main of every test executable.
#include <gtest/gtest.h>

namespace brix_test {
// Starts the platform's socket library (environment_*.cpp): the daemon's entry points do this
// themselves; test executables have no such entry point.
void start_sockets();
}  // namespace brix_test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    brix_test::start_sockets();
    return RUN_ALL_TESTS();
}
