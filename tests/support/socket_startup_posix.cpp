#include "tests/support/socket_startup.h"

namespace brix_test {

void start_sockets() {}

}  // namespace brix_test
