#include <stdlib.h>

#include "tests/support/temp_dir.h"

namespace brix_test {

bool set_environment(const std::string& name, const std::string& value) {
    return _putenv_s(name.c_str(), value.c_str()) == 0;
}

}  // namespace brix_test
