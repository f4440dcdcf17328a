// brix-call: sends one request to a brix daemon and prints the response.
//
//     brix-call [-a ADDRESS] [-p PORT] [--raw LINE] [NAME=VALUE ...]
//
// Each NAME=VALUE argument becomes one URL-encoded field of the request line; --raw sends LINE as
// it is (followed by a line feed) instead. The response is copied to standard output until the
// daemon closes the connection. Exit status: 0 on success, 1 when the daemon cannot be reached,
// 2 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "brix_call/url_encode.h"
#include "net_tools/socket_ops.h"

namespace {

namespace ops = net_tools::socket_ops;

void usage(const char* message) {
    std::cerr << "brix-call: " << message << "\n"
              << "usage: brix-call [-a ADDRESS] [-p PORT] [--raw LINE] [NAME=VALUE ...]\n"
              << "  -a ADDRESS   the daemon's address (default 127.0.0.1)\n"
              << "  -p PORT      the daemon's port (default 1995)\n"
              << "  --raw LINE   send LINE unencoded instead of NAME=VALUE fields\n";
}

bool parse_port(const char* text, int& port) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 1 || value > 65535) return false;
    port = static_cast<int>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string address = "127.0.0.1";
    int port = 1995;
    bool raw = false;
    std::string raw_line;
    std::vector<std::string> fields;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-a" || arg == "-p" || arg == "--raw") && i + 1 >= argc) {
            usage((arg + " needs a value").c_str());
            return 2;
        }
        if (arg == "-a") {
            address = argv[++i];
        } else if (arg == "-p") {
            if (!parse_port(argv[++i], port)) {
                usage((std::string("not a port number: ") + argv[i]).c_str());
                return 2;
            }
        } else if (arg == "--raw") {
            raw = true;
            raw_line = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            usage("sends one request to a brix daemon and prints the response");
            return 0;
        } else if (arg.find('=') != std::string::npos) {
            fields.push_back(arg);
        } else if (arg.size() > 1 && arg[0] == '-') {
            usage(("unknown option: " + arg).c_str());
            return 2;
        } else {
            usage(("not a NAME=VALUE field: " + arg).c_str());
            return 2;
        }
    }
    if (!ops::start()) {
        std::cerr << "brix-call: cannot start the socket library\n";
        return 1;
    }

    in_addr resolved{};
    if (!ops::resolve_ipv4(address.c_str(), &resolved)) {
        std::cerr << "brix-call: cannot resolve " << address << "\n";
        return 1;
    }
    const int fd = ops::create_tcp();
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<unsigned short>(port));
    target.sin_addr = resolved;
    if (fd < 0 || ops::connect(fd, target) != 0) {
        const int code = ops::last_error();
        std::cerr << "brix-call: cannot connect to " << address << ":" << port << ": "
                  << ops::error_text(code) << "\n";
        if (fd >= 0) ops::close(fd);
        return 1;
    }

    const std::string line = (raw ? raw_line : brix_call::encode_fields(fields)) + "\n";
    if (ops::send(fd, line.data(), line.size()) != line.size()) {
        std::cerr << "brix-call: sending to " << address << ":" << port
                  << " failed: " << ops::error_text(ops::last_error()) << "\n";
        ops::close(fd);
        return 1;
    }
    char byte = 0;
    while (ops::recv_byte(fd, &byte) == 1) std::fputc(byte, stdout);
    std::fflush(stdout);
    ops::close(fd);
    return 0;
}
