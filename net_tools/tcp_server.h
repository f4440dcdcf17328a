// Public header of net_tools for the daemon (not part of the cgilet plug-in interface).
#pragma once

#include <atomic>
#include <string>

#include "net_tools/socket_types.h"

namespace net_tools {

// A listening IPv4 TCP socket with a blocking accept. It listens from construction; close (from
// any thread, including a signal handler) stops it and makes a blocked accept return failure.
// Failures are state, never exceptions: the constructor reports nothing, and listening() and
// error_text() tell the owner why a server does not listen.
//
// Thread safety: accept runs on one thread; close may be called from another thread at any
// time, concurrently with accept. The other accessors read state fixed at construction or
// written only by the accepting thread.
class tcp_server {
  public:
    // Creates the socket, binds it to `address` (a dotted quad, kept by pointer: the caller
    // keeps the text alive) and `port` (low 16 bits; 0 picks a free port), and listens. Stops at
    // the first step that fails and remembers which step and why.
    tcp_server(const char* address, int port);

    // Releases the listening socket unless close already has.
    ~tcp_server();

    tcp_server(const tcp_server&) = delete;
    tcp_server& operator=(const tcp_server&) = delete;

    // Blocks until a client connects and returns the new descriptor, which the caller owns, or
    // a negative value on failure (at once after close). Resumes by itself after a signal
    // unless the server was closed meanwhile. On failure, accept_error() and
    // accept_error_is_transient() describe it. Accepting thread only.
    int accept();

    // Shuts the listening socket down, then releases it; the first call does the work, later
    // calls do nothing. Wakes a thread blocked in accept. Safe from another thread and from a
    // signal handler.
    void close();

    // True once close has been called, from any thread. Thread safe.
    bool closed() const;

    // True when socket, bind and listen all succeeded.
    bool listening() const;

    // Why the server does not listen, naming the step, address and port and giving the system's
    // message (for example "cannot bind 127.0.0.1 port 1995: Address already in use"); empty
    // when it listens.
    std::string error_text() const;

    // The system error code of the failed construction step, 0 when it listens.
    int error_code() const;

    // The port the socket is bound to (useful after binding port 0), or -1 when not bound.
    int local_port() const;

    // The system error code of the last failed accept, 0 before any failure. Accepting thread.
    int accept_error() const;

    // True when the last failed accept may succeed if retried after a short pause (descriptors
    // or memory exhausted, a connection aborted before it was taken); false once the server is
    // closed. Accepting thread.
    bool accept_error_is_transient() const;

  private:
    void remember_failure(const char* step);

    const char* address;
    int port;
    sockaddr_in local_addr;
    sockaddr_in peer_addr;
    int fd;

    // True until close or the destructor releases fd; released by whichever comes first.
    std::atomic<bool> is_open{true};
    const char* failed_step = nullptr;
    int construction_error = 0;
    std::string construction_error_text;
    int last_accept_error = 0;
    bool last_accept_transient = false;
};

}  // namespace net_tools
