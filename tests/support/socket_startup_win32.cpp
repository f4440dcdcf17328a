#include "tests/support/socket_startup.h"

#include <winsock2.h>

#include <cstdio>
#include <cstdlib>

namespace brix_test {

void start_sockets() {
    WSADATA data;
    if (WSAStartup(0x0101, &data) != 0) {
        std::fprintf(stderr, "WSAStartup(1.1) failed: %d\n", WSAGetLastError());
        std::exit(2);
    }
}

}  // namespace brix_test
