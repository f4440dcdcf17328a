#include "net_tools/tcp_stream.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "net_tools/socket_ops.h"

namespace net_tools {

namespace {

// `host` is a bare pointer in the plug-in layout, so the text it points to must outlive every
// stream. Peer addresses are few, so each distinct text is kept once for the process's life.
const char* lasting_text(const std::string& text) {
    static std::mutex lock;
    static std::set<std::string> texts;
    std::lock_guard<std::mutex> guard(lock);
    return texts.insert(text).first->c_str();
}

bool is_white_space(char byte) { return std::isspace(static_cast<unsigned char>(byte)) != 0; }

bool is_digit(char byte) { return byte >= '0' && byte <= '9'; }

}  // namespace

// Bounds a series of receives on one socket by one deadline, through the socket's receive
// timeout. The timeout is armed with the time left and armed again only once it overstates the
// time left by more than kSlack, so a peer that sends at full speed costs a clock read per byte
// and no system call, and a receive never waits more than kSlack past the deadline. Past the
// deadline, only bytes that have already arrived are received, without waiting.
class ReceiveDeadline {
  public:
    using Clock = std::chrono::steady_clock;

    ReceiveDeadline(int fd, Clock::time_point deadline) : fd(fd), deadline(deadline) {}

    // True when the next receive may go ahead: before the deadline (it then cannot wait much
    // past it), or after it when a byte is waiting (it then does not wait at all).
    bool allows_another_receive() {
        const Clock::duration left = deadline - Clock::now();
        if (left <= Clock::duration::zero()) return socket_ops::pending_input(fd) > 0;
        if (!is_armed || armed - left > kSlack) arm(left);
        return true;
    }

    // Sets the receive timeout the socket had before this object first armed it.
    void restore() {
        if (is_armed) socket_ops::set_receive_timeout(fd, before);
    }

  private:
    static constexpr std::chrono::milliseconds kSlack{50};

    void arm(Clock::duration left) {
        if (!is_armed) before = socket_ops::receive_timeout(fd);
        // Rounded up, and never 0, which would mean "wait for ever".
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(left);
        if (ms.count() < 1) ms = std::chrono::milliseconds(1);
        socket_ops::set_receive_timeout(fd, static_cast<unsigned>(ms.count()));
        armed = ms;
        is_armed = true;
    }

    int fd;
    Clock::time_point deadline;
    bool is_armed = false;
    Clock::duration armed{};  // the timeout set last, once one is
    unsigned before = 0;      // the socket's own timeout, in milliseconds
};

tcp_stream::tcp_stream(int fd) : failed(false), fd(fd), buf{}, host(""), port(0), is_open(true) {}

tcp_stream::tcp_stream(const char* host_name, int peer_port)
    : failed(false), fd(-1), buf{}, host(""), port(peer_port), is_open(true) {
    in_addr address{};
    if (!socket_ops::resolve_ipv4(host_name, &address)) {
        // No address to connect to: stay without a socket and test false.
        host = lasting_text(host_name != nullptr ? host_name : "");
        failed = true;
        return;
    }
    host = lasting_text(socket_ops::ipv4_text(address));

    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = address;
    peer.sin_port = htons(static_cast<unsigned short>(peer_port & 0xffff));

    fd = socket_ops::create_tcp();
    if (fd < 0 || socket_ops::connect(fd, peer) < 0) failed = true;
}

tcp_stream::~tcp_stream() { close(); }

void tcp_stream::clearerr() {
    failed = false;
    std::memset(buf, 0, sizeof buf);
}

tcp_stream::operator void*() const {
    return failed && is_open ? nullptr : const_cast<tcp_stream*>(this);
}

bool tcp_stream::receive(char& byte) {
    byte = 0;
    // A closed stream's descriptor number may already belong to another socket: never use it.
    if (!is_open || fd < 0) return false;
    return socket_ops::recv_byte(fd, &byte) == 1;
}

void tcp_stream::send(const char* data, std::size_t size) {
    if (!is_open || fd < 0) {
        failed = true;
        return;
    }
    if (socket_ops::send(fd, data, size) != size) {
        failed = true;
        socket_ops::shutdown_send(fd);
    }
}

tcp_stream& tcp_stream::operator<<(int value) {
    std::memset(buf, 0, sizeof buf);
    std::snprintf(buf, sizeof buf, "%d", value);
    send(buf, std::strlen(buf));
    return *this;
}

tcp_stream& tcp_stream::operator<<(const char* text) {
    send(text, text != nullptr ? std::strlen(text) : 0);
    return *this;
}

tcp_stream& tcp_stream::operator<<(const std::string& text) {
    send(text.c_str(), text.size());
    return *this;
}

tcp_stream& tcp_stream::operator>>(std::string& word) {
    word = "";
    char byte;
    while (receive(byte) && !is_white_space(byte)) word += byte;
    return *this;
}

tcp_stream& tcp_stream::operator>>(int& value) {
    char byte;
    bool ok = receive(byte);
    while (ok && is_white_space(byte)) ok = receive(byte);
    // The value saturates instead of overflowing; the digits are still all consumed.
    long long total = 0;
    while (ok && is_digit(byte)) {
        if (total <= INT_MAX) total = total * 10 + (byte - '0');
        ok = receive(byte);
    }
    if (!ok) failed = true;
    value = total > INT_MAX ? INT_MAX : static_cast<int>(total);
    return *this;
}

char tcp_stream::get() {
    char byte;
    if (!receive(byte)) failed = true;
    return byte;
}

void tcp_stream::close() {
    if (!is_open) return;
    is_open = false;
    if (fd >= 0) socket_ops::close(fd);
}

std::string tcp_stream::read_line(unsigned max) { return read_line_within(max, nullptr); }

std::string tcp_stream::read_line(unsigned max, std::chrono::milliseconds limit) {
    if (limit.count() <= 0) return read_line(max);
    return read_line_until(max, std::chrono::steady_clock::now() + limit);
}

std::string tcp_stream::read_line_until(unsigned max,
                                        std::chrono::steady_clock::time_point deadline) {
    if (!is_open || fd < 0) return read_line(max);
    ReceiveDeadline bound(fd, deadline);
    std::string line = read_line_within(max, &bound);
    bound.restore();
    return line;
}

std::string tcp_stream::read_line_within(unsigned max, ReceiveDeadline* deadline) {
    std::string line;
    for (;;) {
        char byte;
        if ((deadline != nullptr && !deadline->allows_another_receive()) || !receive(byte)) {
            failed = true;
            break;
        }
        // A closed stream tests true even after a failed read, so the receive result counts too.
        if (!*this || byte == '\n') break;
        line += byte;
        if (line.size() >= max) break;
    }
    return line;
}

void tcp_stream::close_gracefully(std::chrono::milliseconds limit, std::size_t max_bytes) {
    if (is_open && fd >= 0 && socket_ops::pending_input(fd) > 0) {
        socket_ops::shutdown_send(fd);
        ReceiveDeadline deadline(fd, std::chrono::steady_clock::now() + limit);
        char scratch[4096];
        std::size_t dropped = 0;
        while (dropped < max_bytes && deadline.allows_another_receive()) {
            const long count = socket_ops::receive(fd, scratch, sizeof scratch);
            if (count <= 0) break;  // the peer closed, or nothing came in time
            dropped += static_cast<std::size_t>(count);
        }
    }
    close();
}

}  // namespace net_tools
