// The test process's environment on POSIX: its variables; sockets need no start.
#include <stdlib.h>

#include "tests/support/temp_dir.h"

namespace brix_test {

bool set_environment(const std::string& name, const std::string& value) {
    return setenv(name.c_str(), value.c_str(), 1) == 0;
}

void start_sockets() {}

}  // namespace brix_test
