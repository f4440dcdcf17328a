// read_line on a socket pair: byte 0 picks the line limit and deadline; lines give back the rest.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "net_tools/tcp_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > 64 * 1024) return 0;
    const unsigned max = data[0] & 0x3F;
    const int bound = data[0] >> 6;  // 0: none, 1: a passed deadline, 2 and 3: one ahead
    const std::string sent(reinterpret_cast<const char*>(data) + 1, size - 1);
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) return 0;
    const bool written = ::write(ends[1], sent.data(), sent.size()) == ssize_t(sent.size());
    ::close(ends[1]);

    net_tools::tcp_stream stream(ends[0]);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(bound == 1 ? -1 : 10);
    std::string received;
    while (received.size() < sent.size()) {
        const std::string line =
            bound == 0 ? stream.read_line(max) : stream.read_line_until(max, deadline);
        received += line;
        if (!stream) break;  // the end of what was sent
        if (line.size() < (max > 0 ? max : 1)) received += '\n';
    }
    if (!written || received != sent) std::abort();
    return 0;
}
