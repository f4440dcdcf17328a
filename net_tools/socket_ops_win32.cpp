// Windows Sockets behind socket_ops.h. The process starts Windows Sockets (version 1.1) before
// any of these is called. Windows has no SIGPIPE and no signal-interrupted calls: WSAEINTR
// means a blocking call was cancelled, which is a real failure.
#include "net_tools/socket_ops.h"

#include <windows.h>
#include <winsock2.h>

#include <string>

namespace net_tools {
namespace socket_ops {

namespace {

SOCKET as_socket(int fd) { return static_cast<SOCKET>(fd); }

int as_fd(SOCKET socket) { return socket == INVALID_SOCKET ? -1 : static_cast<int>(socket); }

// A socket the daemon opens is not inherited by the processes its cgilets start: a child holding
// the listening socket or a client's connection would keep the port taken, or the client waiting
// for the end of its reply, for as long as it lives.
int not_inherited(SOCKET socket) {
    if (socket != INVALID_SOCKET) keep_from_children(as_fd(socket));
    return as_fd(socket);
}

const sockaddr* as_sockaddr(const sockaddr_in& addr) {
    return reinterpret_cast<const sockaddr*>(&addr);
}

// SO_RCVTIMEO or SO_SNDTIMEO, in milliseconds (0: wait for ever).
int set_timeout(int fd, int option, unsigned milliseconds) {
    const DWORD timeout = milliseconds;
    return ::setsockopt(as_socket(fd), SOL_SOCKET, option, reinterpret_cast<const char*>(&timeout),
                        sizeof timeout) == SOCKET_ERROR
               ? -1
               : 0;
}

}  // namespace

void keep_from_children(int fd) {
    ::SetHandleInformation(reinterpret_cast<HANDLE>(as_socket(fd)), HANDLE_FLAG_INHERIT, 0);
}

bool start() {
    WSADATA data;
    return ::WSAStartup(0x0101, &data) == 0;
}

void allow_rebinding(int) {}

int create_tcp() { return not_inherited(::socket(AF_INET, SOCK_STREAM, 0)); }

int bind(int fd, const sockaddr_in& addr) {
    return ::bind(as_socket(fd), as_sockaddr(addr), sizeof addr) == SOCKET_ERROR ? -1 : 0;
}

int listen(int fd, int backlog) {
    return ::listen(as_socket(fd), backlog) == SOCKET_ERROR ? -1 : 0;
}

int accept(int fd, sockaddr_in* peer) {
    int length = sizeof *peer;
    return not_inherited(::accept(as_socket(fd), reinterpret_cast<sockaddr*>(peer), &length));
}

int connect(int fd, const sockaddr_in& addr) {
    return ::connect(as_socket(fd), as_sockaddr(addr), sizeof addr) == SOCKET_ERROR ? -1 : 0;
}

std::size_t send(int fd, const char* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        const std::size_t left = size - sent;
        const int chunk = left > 0x40000000 ? 0x40000000 : static_cast<int>(left);
        const int count = ::send(as_socket(fd), data + sent, chunk, 0);
        if (count == SOCKET_ERROR || count == 0) break;
        sent += static_cast<std::size_t>(count);
    }
    return sent;
}

int recv_byte(int fd, char* byte) {
    const int count = ::recv(as_socket(fd), byte, 1, 0);
    return count == SOCKET_ERROR ? -1 : count;
}

int shutdown_send(int fd) { return ::shutdown(as_socket(fd), SD_SEND) == SOCKET_ERROR ? -1 : 0; }

int close(int fd) { return ::closesocket(as_socket(fd)) == SOCKET_ERROR ? -1 : 0; }

int set_receive_timeout(int fd, unsigned milliseconds) {
    return set_timeout(fd, SO_RCVTIMEO, milliseconds);
}

unsigned receive_timeout(int fd) {
    DWORD timeout = 0;
    int length = sizeof timeout;
    if (::getsockopt(as_socket(fd), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout),
                     &length) == SOCKET_ERROR)
        return 0;
    return timeout;
}

int set_send_timeout(int fd, unsigned milliseconds) {
    return set_timeout(fd, SO_SNDTIMEO, milliseconds);
}

std::size_t pending_input(int fd) {
    u_long count = 0;
    if (::ioctlsocket(as_socket(fd), FIONREAD, &count) == SOCKET_ERROR) return 0;
    return static_cast<std::size_t>(count);
}

long receive(int fd, char* data, std::size_t size) {
    const int chunk = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    const int count = ::recv(as_socket(fd), data, chunk, 0);
    return count == SOCKET_ERROR ? -1 : static_cast<long>(count);
}

int local_port(int fd) {
    sockaddr_in addr{};
    int length = sizeof addr;
    if (::getsockname(as_socket(fd), reinterpret_cast<sockaddr*>(&addr), &length) == SOCKET_ERROR) {
        return -1;
    }
    return ntohs(addr.sin_port);
}

bool resolve_ipv4(const char* host, in_addr* address) {
    // Windows Sockets keeps gethostbyname's result per thread, so this is thread safe.
    if (host == nullptr) return false;
    const hostent* entry = ::gethostbyname(host);
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_addr_list == nullptr ||
        entry->h_addr_list[0] == nullptr || entry->h_length != sizeof *address) {
        return false;
    }
    memcpy(address, entry->h_addr_list[0], sizeof *address);
    return true;
}

std::string ipv4_text(const in_addr& address) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&address);
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

in_addr ipv4_from_text(const char* text) {
    in_addr address{};
    address.s_addr = text != nullptr ? ::inet_addr(text) : INADDR_NONE;
    return address;
}

int last_error() { return ::WSAGetLastError(); }

std::string error_text(int code) {
    char text[512] = {};
    const DWORD length =
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                         static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    if (!message.empty()) return message;
    // Some systems (Wine among them) have no text for Windows Sockets codes: name the usual ones.
    switch (code) {
        case WSAEADDRINUSE:
            return "Address already in use (WSAEADDRINUSE)";
        case WSAEADDRNOTAVAIL:
            return "Address not available (WSAEADDRNOTAVAIL)";
        case WSAEACCES:
            return "Permission denied (WSAEACCES)";
        case WSAECONNREFUSED:
            return "Connection refused (WSAECONNREFUSED)";
        case WSAEMFILE:
            return "Too many open sockets (WSAEMFILE)";
        case WSANOTINITIALISED:
            return "Windows Sockets not started (WSANOTINITIALISED)";
        default:
            return "error " + std::to_string(code);
    }
}

bool is_interrupted(int) { return false; }

AcceptFailure accept_failure_kind(int code) {
    switch (code) {
        case WSAECONNRESET:  // a connection reset before it was taken
        case WSAECONNABORTED:
        case WSAEWOULDBLOCK:
            return AcceptFailure::retry_now;
        case WSAEMFILE:
        case WSAENOBUFS:
        case WSAEINTR:  // a blocking call cancelled: nothing wrong with the socket
        case ERROR_NOT_ENOUGH_MEMORY:
            return AcceptFailure::pause;
        default:
            return AcceptFailure::fatal;
    }
}

int wake_accept(int fd) {
    sockaddr_in address{};
    int length = sizeof address;
    if (::getsockname(as_socket(fd), reinterpret_cast<sockaddr*>(&address), &length) ==
        SOCKET_ERROR)
        return -1;
    if (address.sin_addr.s_addr == htonl(INADDR_ANY))
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const SOCKET waker = ::socket(AF_INET, SOCK_STREAM, 0);
    if (waker == INVALID_SOCKET) return -1;
    int port = -1;
    if (::connect(waker, as_sockaddr(address), sizeof address) != SOCKET_ERROR) {
        sockaddr_in own{};
        int own_length = sizeof own;
        if (::getsockname(waker, reinterpret_cast<sockaddr*>(&own), &own_length) != SOCKET_ERROR)
            port = ntohs(own.sin_port);
    }
    ::closesocket(waker);
    return port;
}

}  // namespace socket_ops
}  // namespace net_tools
