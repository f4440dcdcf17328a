// Public header of net_tools for the daemon (not part of the cgilet plug-in interface).
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "net_tools/socket_types.h"

namespace net_tools {

// A listening IPv4 TCP socket with a blocking accept. It listens from construction; close (from
// any thread) stops it and makes a blocked accept return failure.
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
    // a negative value on failure (at once after close, releasing the listening socket then).
    // Resumes by itself after a signal, and after a connection that went away before it could
    // be taken, unless the server was closed meanwhile. On failure, accept_error() and
    // accept_error_is_transient() describe it. Accepting thread only.
    int accept();

    // Stops the server: wakes a thread blocked in accept, and makes every later accept fail.
    // The first call does the work, later calls do nothing. The listening socket itself is
    // released by the next accept or by the destructor, never here, so that its number cannot
    // pass to another socket while the accepting thread may still use it. Safe from any thread
    // (it takes a lock: not from a signal handler).
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
    // or memory exhausted); false when the listening socket is broken, and once the server is
    // closed. Accepting thread.
    bool accept_error_is_transient() const;

  private:
    void remember_failure(const char* step);
    // Releases the listening socket once. Caller holds release_lock.
    void release();

    const char* address;
    int port;
    sockaddr_in local_addr;
    sockaddr_in peer_addr;
    int fd;

    // True until close or the destructor; fd is released after it turns false, by the
    // accepting thread or the destructor, under release_lock, which close also holds while it
    // wakes the socket.
    std::atomic<bool> is_open{true};
    std::mutex release_lock;
    int wake_port = -1;  // the local port of close's own connection, when it made one
    const char* failed_step = nullptr;
    int construction_error = 0;
    std::string construction_error_text;
    int last_accept_error = 0;
    bool last_accept_transient = false;
};

}  // namespace net_tools
