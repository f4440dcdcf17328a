// Test-only: one request to a daemon on the loopback address, as a client sends it.
#pragma once

#include <string>

#include "net_tools/tcp_stream.h"

namespace brix_main_test {

// Connects to 127.0.0.1:`port`, sends `line` and returns everything the daemon writes until it
// closes the connection; "" when nothing listens there.
inline std::string ask(int port, const std::string& line) {
    net_tools::tcp_stream stream("127.0.0.1", port);
    std::string response;
    for (char c = (stream << line).get(); stream; c = stream.get()) response += c;
    return response;
}

}  // namespace brix_main_test
