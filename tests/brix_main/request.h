// Test-only: one request to a daemon on the loopback address, as a client sends it.
#pragma once

#include <string>

#include "net_tools/socket_ops.h"

namespace brix_main_test {

// A socket connected to 127.0.0.1:`port`, or -1. The caller closes it (socket_ops::close).
inline int connect_to(int port) {
    namespace ops = net_tools::socket_ops;
    const int fd = ops::create_tcp();
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = ops::ipv4_from_text("127.0.0.1");
    address.sin_port = htons(static_cast<unsigned short>(port));
    if (ops::connect(fd, address) == 0) return fd;
    ops::close(fd);
    return -1;
}

// Connects to 127.0.0.1:`port`, sends `line` and returns everything the daemon writes until it
// closes the connection; "" when nothing listens there.
inline std::string ask(int port, const std::string& line) {
    namespace ops = net_tools::socket_ops;
    const int fd = connect_to(port);
    if (fd < 0) return "";
    std::string response;
    if (ops::send(fd, line.data(), line.size()) == line.size()) {
        char byte;
        while (ops::recv_byte(fd, &byte) == 1) response += byte;
    }
    ops::close(fd);
    return response;
}

}  // namespace brix_main_test
