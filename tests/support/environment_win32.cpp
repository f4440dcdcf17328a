// The test process's environment on Windows: its variables and Windows Sockets 1.1.
#include <winsock2.h>

#include <stdlib.h>

#include <cstdio>

#include "tests/support/temp_dir.h"

namespace brix_test {

bool set_environment(const std::string& name, const std::string& value) {
    return _putenv_s(name.c_str(), value.c_str()) == 0;
}

void start_sockets() {
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) {
        std::fprintf(stderr, "WSAStartup(1.1) failed: %d\n", WSAGetLastError());
        std::exit(2);
    }
}

}  // namespace brix_test
