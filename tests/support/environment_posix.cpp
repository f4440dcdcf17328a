// The test process on POSIX: the shared main of every test executable, and its variables.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "tests/support/temp_dir.h"

namespace brix_test {

bool set_environment(const std::string& name, const std::string& value) {
    return setenv(name.c_str(), value.c_str(), 1) == 0;
}

}  // namespace brix_test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
