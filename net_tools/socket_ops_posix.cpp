// POSIX sockets behind socket_ops.h.
#include "net_tools/socket_ops.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace net_tools {
namespace socket_ops {

namespace {

const sockaddr* as_sockaddr(const sockaddr_in& addr) {
    return reinterpret_cast<const sockaddr*>(&addr);
}

// After a connect interrupted by a signal the connection goes on in the background; wait
// until the socket is writable and take the outcome from SO_ERROR.
int finish_interrupted_connect(int fd) {
    pollfd entry{};
    entry.fd = fd;
    entry.events = POLLOUT;
    int ready;
    do {
        ready = ::poll(&entry, 1, -1);
    } while (ready < 0 && errno == EINTR);
    if (ready < 0) return -1;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0) return -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

// A blocking send comes back short either because a signal handler interrupted it (go on) or
// because the send timeout expired with part of the data taken (stop: the peer does not read).
// Told apart by how long the call waited. Asked only after a short send.
bool send_timed_out(int fd, std::chrono::steady_clock::duration waited) {
    timeval timeout{};
    socklen_t length = sizeof timeout;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, &length) < 0) return false;
    const auto limit =
        std::chrono::seconds(timeout.tv_sec) + std::chrono::microseconds(timeout.tv_usec);
    return limit.count() > 0 && waited >= limit;
}

// SO_RCVTIMEO or SO_SNDTIMEO, in milliseconds (0: wait for ever).
int set_timeout(int fd, int option, unsigned milliseconds) {
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(milliseconds / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    return ::setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof timeout) < 0 ? -1 : 0;
}

}  // namespace

bool start() { return true; }

void allow_rebinding(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

void keep_from_children(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

int create_tcp() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int bind(int fd, const sockaddr_in& addr) {
    return ::bind(fd, as_sockaddr(addr), sizeof addr) < 0 ? -1 : 0;
}

int listen(int fd, int backlog) { return ::listen(fd, backlog) < 0 ? -1 : 0; }

int accept(int fd, sockaddr_in* peer) {
    socklen_t length = sizeof *peer;
    return ::accept4(fd, reinterpret_cast<sockaddr*>(peer), &length, SOCK_CLOEXEC);
}

int connect(int fd, const sockaddr_in& addr) {
    if (::connect(fd, as_sockaddr(addr), sizeof addr) == 0) return 0;
    if (errno != EINTR) return -1;
    return finish_interrupted_connect(fd);
}

std::size_t send(int fd, const char* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        const auto began = std::chrono::steady_clock::now();
        // MSG_NOSIGNAL: a peer that has gone away gives EPIPE here instead of killing the process.
        const ssize_t count = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR) continue;
            break;
        }
        sent += static_cast<std::size_t>(count);
        if (sent < size && send_timed_out(fd, std::chrono::steady_clock::now() - began)) {
            errno = EAGAIN;
            break;
        }
    }
    return sent;
}

int recv_byte(int fd, char* byte) {
    ssize_t count;
    do {
        count = ::recv(fd, byte, 1, 0);
    } while (count < 0 && errno == EINTR);
    return count < 0 ? -1 : static_cast<int>(count);
}

int shutdown_send(int fd) { return ::shutdown(fd, SHUT_WR) < 0 ? -1 : 0; }

int close(int fd) {
    // Linux releases the descriptor even when close reports EINTR, so it is never retried:
    // a retry could close a descriptor another thread has just been given.
    return ::close(fd) < 0 && errno != EINTR ? -1 : 0;
}

int set_receive_timeout(int fd, unsigned milliseconds) {
    return set_timeout(fd, SO_RCVTIMEO, milliseconds);
}

unsigned receive_timeout(int fd) {
    timeval timeout{};
    socklen_t length = sizeof timeout;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, &length) < 0) return 0;
    return static_cast<unsigned>(timeout.tv_sec * 1000 + timeout.tv_usec / 1000);
}

int set_send_timeout(int fd, unsigned milliseconds) {
    return set_timeout(fd, SO_SNDTIMEO, milliseconds);
}

std::size_t pending_input(int fd) {
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) < 0 || count < 0) return 0;
    return static_cast<std::size_t>(count);
}

long receive(int fd, char* data, std::size_t size) {
    ssize_t count;
    do {
        count = ::recv(fd, data, size, 0);
    } while (count < 0 && errno == EINTR);
    return count < 0 ? -1 : static_cast<long>(count);
}

int local_port(int fd) {
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) < 0) return -1;
    return ntohs(addr.sin_port);
}

bool resolve_ipv4(const char* host, in_addr* address) {
    // getaddrinfo rather than gethostbyname: it is thread safe, and workers may resolve at once.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (host == nullptr || ::getaddrinfo(host, nullptr, &hints, &result) != 0) return false;
    bool found = false;
    for (const addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
            *address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr;
            found = true;
            break;
        }
    }
    ::freeaddrinfo(result);
    return found;
}

std::string ipv4_text(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

in_addr ipv4_from_text(const char* text) {
    in_addr address{};
    address.s_addr = text != nullptr ? ::inet_addr(text) : INADDR_NONE;
    return address;
}

int last_error() { return errno; }

std::string error_text(int code) {
    char text[256] = {};
    // The GNU strerror_r returns the text, which may or may not be in `text`.
    return ::strerror_r(code, text, sizeof text);
}

bool is_interrupted(int code) { return code == EINTR; }

AcceptFailure accept_failure_kind(int code) {
    switch (code) {
        // Linux passes these on from a connection that failed while it waited to be accepted.
        case ECONNABORTED:
        case EPROTO:
        case EPERM:
        case ENETDOWN:
        case ENOPROTOOPT:
        case EHOSTDOWN:
        case ENONET:
        case EHOSTUNREACH:
        case EOPNOTSUPP:
        case ENETUNREACH:
        case EINTR:
        case EAGAIN:
            return AcceptFailure::retry_now;
        case EMFILE:
        case ENFILE:
        case ENOBUFS:
        case ENOMEM:
            return AcceptFailure::pause;
        default:
            return AcceptFailure::fatal;
    }
}

int wake_accept(int fd) {
    ::shutdown(fd, SHUT_RDWR);
    return -1;
}

}  // namespace socket_ops
}  // namespace net_tools
