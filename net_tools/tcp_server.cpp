#include "net_tools/tcp_server.h"

#include "net_tools/socket_ops.h"

namespace net_tools {

namespace {

// Let the system choose its largest listen backlog.
constexpr int LISTEN_BACKLOG = 2147483647;

}  // namespace

tcp_server::tcp_server(const char* address, int port)
    : address(address), port(port), local_addr{}, peer_addr{}, fd(-1) {
    fd = socket_ops::create_tcp();
    if (fd < 0) {
        remember_failure("create a socket for");
        return;
    }
    socket_ops::allow_rebinding(fd);
    local_addr.sin_family = AF_INET;
    local_addr.sin_port = htons(static_cast<unsigned short>(port & 0xffff));
    local_addr.sin_addr = socket_ops::ipv4_from_text(address);
    if (socket_ops::bind(fd, local_addr) < 0) {
        remember_failure("bind");
        return;
    }
    if (socket_ops::listen(fd, LISTEN_BACKLOG) < 0) remember_failure("listen on");
}

tcp_server::~tcp_server() {
    close();
    std::lock_guard<std::mutex> guard(release_lock);
    release();
}

void tcp_server::remember_failure(const char* step) {
    construction_error = socket_ops::last_error();
    failed_step = step;
    construction_error_text =
        std::string("cannot ") + step + " " + (address != nullptr ? address : "(no address)") +
        " port " + std::to_string(port) + ": " + socket_ops::error_text(construction_error);
}

void tcp_server::release() {
    if (fd >= 0) socket_ops::close(fd);
    fd = -1;
}

int tcp_server::accept() {
    for (;;) {
        if (!is_open.load()) {
            std::lock_guard<std::mutex> guard(release_lock);
            release();
            last_accept_error = 0;
            last_accept_transient = false;
            return -1;
        }
        const int accepted = socket_ops::accept(fd, &peer_addr);
        if (accepted >= 0) {
            if (!is_open.load()) {
                // close's own connection, made to wake this thread, is no client.
                std::lock_guard<std::mutex> guard(release_lock);
                if (ntohs(peer_addr.sin_port) == wake_port) {
                    socket_ops::close(accepted);
                    continue;
                }
            }
            return accepted;
        }
        const int error = socket_ops::last_error();
        const socket_ops::AcceptFailure kind = socket_ops::accept_failure_kind(error);
        if (!is_open.load()) continue;  // woken by close: release the socket and fail
        if (kind == socket_ops::AcceptFailure::retry_now) continue;
        last_accept_error = error;
        last_accept_transient = kind == socket_ops::AcceptFailure::pause;
        return -1;
    }
}

void tcp_server::close() {
    std::lock_guard<std::mutex> guard(release_lock);
    if (!is_open.exchange(false) || fd < 0) return;
    wake_port = socket_ops::wake_accept(fd);
}

bool tcp_server::closed() const { return !is_open.load(); }

bool tcp_server::listening() const { return failed_step == nullptr; }

std::string tcp_server::error_text() const { return construction_error_text; }

int tcp_server::error_code() const { return construction_error; }

int tcp_server::local_port() const {
    return listening() && is_open.load() ? socket_ops::local_port(fd) : -1;
}

int tcp_server::accept_error() const { return last_accept_error; }

bool tcp_server::accept_error_is_transient() const { return last_accept_transient; }

}  // namespace net_tools
