// brix-call: sends one request to a brix daemon and prints the response.
//
//     brix-call [-a ADDRESS] [-p PORT] [-t SECONDS] [--raw LINE] [NAME=VALUE ...]
//
// Each NAME=VALUE argument becomes one URL-encoded field of the request line; --raw sends LINE as
// it is (followed by a line feed) instead. The response is copied to standard output until the
// daemon closes the connection. The exit statuses are listed in usage() below.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "brix_call/receive_timeout.h"
#include "brix_call/url_encode.h"
#include "net_tools/socket_ops.h"

namespace {

namespace ops = net_tools::socket_ops;

// Exit statuses, as the help text lists them.
enum Exit { answered = 0, unreachable = 1, bad_usage = 2, no_response = 3, timed_out = 4 };

constexpr long default_timeout_seconds = 30;
constexpr long max_timeout_seconds = 86400;

void usage(const char* message) {
    std::cerr
        << "brix-call: " << message << "\n"
        << "usage: brix-call [-a ADDRESS] [-p PORT] [-t SECONDS] [--raw LINE] [NAME=VALUE ...]\n"
        << "  -a ADDRESS   the daemon's address (default 127.0.0.1)\n"
        << "  -p PORT      the daemon's port (default 1995)\n"
        << "  -t SECONDS   give up when the daemon sends nothing for SECONDS (default 30; 0: wait\n"
        << "               for ever)\n"
        << "  --raw LINE   send LINE unencoded instead of NAME=VALUE fields\n"
        << "exit status:\n"
        << "  0  the daemon answered; its response is on standard output\n"
        << "  1  the daemon cannot be reached (nothing listens, or sending failed)\n"
        << "  2  usage error\n"
        << "  3  the daemon closed the connection without a response (the cgilet is not in its\n"
        << "     catalog, or failed)\n"
        << "  4  the daemon sent nothing within the timeout\n";
}

// Parses a whole decimal number in [low, high] into `value`.
bool parse_number(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

// Copies the response on `fd` to standard output until the daemon closes the connection. When
// the daemon sends nothing for `timeout_seconds` (0: no limit), the wait ends; any other failed
// receive (a reset) ends the response as a close does. Returns the exit status and, when the
// daemon did not answer, says why on standard error.
int copy_response(int fd, long timeout_seconds, const std::string& peer,
                  const std::string& cgilet) {
    ops::set_receive_timeout(fd, static_cast<unsigned>(timeout_seconds * 1000));
    bool any = false;
    char byte = 0;
    for (;;) {
        const int got = ops::recv_byte(fd, &byte);
        if (got == 1) {
            std::fputc(byte, stdout);
            any = true;
            continue;
        }
        std::fflush(stdout);
        if (got < 0 && brix_call::is_receive_timeout(ops::last_error())) {
            std::cerr << "brix-call: " << (any ? "no more of the response" : "no response")
                      << " from " << peer << " within " << timeout_seconds << " s\n";
            return timed_out;
        }
        if (any) return answered;
        std::cerr << "brix-call: no response from " << peer << " (is " << cgilet
                  << " in the catalog?)\n";
        return no_response;
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string address = "127.0.0.1";
    long port = 1995;
    long timeout_seconds = default_timeout_seconds;
    bool raw = false;
    std::string raw_line;
    std::vector<std::string> fields;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "-a" || arg == "-p" || arg == "-t" || arg == "--raw") && i + 1 >= argc) {
            usage((arg + " needs a value").c_str());
            return bad_usage;
        }
        if (arg == "-a") {
            address = argv[++i];
        } else if (arg == "-p") {
            if (!parse_number(argv[++i], 1, 65535, port)) {
                usage((std::string("not a port number: ") + argv[i]).c_str());
                return bad_usage;
            }
        } else if (arg == "-t") {
            if (!parse_number(argv[++i], 0, max_timeout_seconds, timeout_seconds)) {
                usage((std::string("not a number of seconds: ") + argv[i]).c_str());
                return bad_usage;
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
            return bad_usage;
        } else {
            usage(("not a NAME=VALUE field: " + arg).c_str());
            return bad_usage;
        }
    }
    if (!ops::start()) {
        std::cerr << "brix-call: cannot start the socket library\n";
        return unreachable;
    }

    in_addr resolved{};
    if (!ops::resolve_ipv4(address.c_str(), &resolved)) {
        std::cerr << "brix-call: cannot resolve " << address << "\n";
        return unreachable;
    }
    const int fd = ops::create_tcp();
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<unsigned short>(port));
    target.sin_addr = resolved;
    const std::string peer = address + ":" + std::to_string(port);
    if (fd < 0 || ops::connect(fd, target) != 0) {
        const int code = ops::last_error();
        std::cerr << "brix-call: cannot connect to " << peer << ": " << ops::error_text(code)
                  << "\n";
        if (fd >= 0) ops::close(fd);
        return unreachable;
    }

    const std::string line = (raw ? raw_line : brix_call::encode_fields(fields)) + "\n";
    if (ops::send(fd, line.data(), line.size()) != line.size()) {
        std::cerr << "brix-call: sending to " << peer
                  << " failed: " << ops::error_text(ops::last_error()) << "\n";
        ops::close(fd);
        return unreachable;
    }
    const int status = copy_response(fd, timeout_seconds, peer, brix_call::requested_cgilet(line));
    ops::close(fd);
    return status;
}
