// The test process on Windows: the shared main of every test executable, which starts Windows
// Sockets 1.1 as the daemon's entry points do, and its variables.
#include <winsock2.h>

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>

#include "tests/support/temp_dir.h"

namespace brix_test {

bool set_environment(const std::string& name, const std::string& value) {
    return _putenv_s(name.c_str(), value.c_str()) == 0;
}

}  // namespace brix_test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) {
        std::fprintf(stderr, "WSAStartup(1.1) failed: %d\n", WSAGetLastError());
        return 2;
    }
    return RUN_ALL_TESTS();
}
