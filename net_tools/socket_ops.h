// Header of net_tools for the daemon and tests, not for cgilets: thin wrappers over the
// platform's socket calls, one implementation per platform (socket_ops_posix.cpp,
// socket_ops_win32.cpp). The classes of net_tools are built on it; the daemon uses
// set_receive_timeout on accepted descriptors and error_text for its messages.
//
// Descriptors are plain ints, as the classes store them; a negative value is "no socket".
// Every function is thread safe to the extent the system call it wraps is; none keeps state.
// Calls interrupted by a signal are resumed, so no function fails with the platform's EINTR
// except `accept` (see there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net_tools/socket_types.h"

namespace net_tools {
namespace socket_ops {

// Starts the platform's socket library for a program without an entry point of its own that does
// it (Windows Sockets 1.1; nothing to do on POSIX). Returns false when it cannot be started.
// Call once, before any other socket call.
bool start();

// A new IPv4 TCP socket (AF_INET, SOCK_STREAM, protocol 0), or -1. Like every socket these
// functions open, it is close-on-exec (not inherited on Windows): child processes never hold it.
int create_tcp();

// Makes `fd`, a socket opened by other code (a client library), close-on-exec (not inherited on
// Windows), as the sockets of these functions are.
void keep_from_children(int fd);

// Lets a listening socket bind its port while connections of an earlier server on that port are
// still in TIME_WAIT. The server closes its connections first, so without this a restarted daemon
// could not listen again for a minute on POSIX. Does nothing on Windows, where binding is not
// blocked that way and SO_REUSEADDR would instead let another socket take a port in use.
void allow_rebinding(int fd);

// Binds `fd` to `addr`. Returns 0, or -1 with the cause in last_error().
int bind(int fd, const sockaddr_in& addr);

// Starts listening on `fd` with `backlog`. Returns 0, or -1 with the cause in last_error().
int listen(int fd, int backlog);

// One accept on `fd`, filling `peer`. Returns the new descriptor (close-on-exec, not inherited),
// or -1 with the cause in last_error(). Not resumed after a signal: the caller decides (see
// is_interrupted).
int accept(int fd, sockaddr_in* peer);

// Connects `fd` to `addr`, waiting for the outcome even when a signal interrupts the call.
// Returns 0, or -1 with the cause in last_error().
int connect(int fd, const sockaddr_in& addr);

// Sends all `size` bytes of `data`. Returns the number of bytes sent: `size` on success, less
// when the connection failed part way or the send timeout (set_send_timeout) expired (cause in
// last_error()). Resumes after a send cut short by a signal, not after one cut short by the send
// timeout, so one call waits at most about the send timeout for a peer that does not read. Never
// raises SIGPIPE: a peer that has gone away is an ordinary failure.
std::size_t send(int fd, const char* data, std::size_t size);

// Receives one byte into `*byte`. Returns 1, 0 when the peer has closed, -1 on error or when a
// receive timeout (set_receive_timeout) expired.
int recv_byte(int fd, char* byte);

// Shuts the sending direction of `fd` down: the peer reads the end of the stream after what was
// sent, and later sends fail at once. Returns 0, or -1 with the cause in last_error().
int shutdown_send(int fd);

// Releases `fd`. Returns 0, or -1 with the cause in last_error(). Call once per descriptor.
int close(int fd);

// Makes a blocked recv_byte on `fd` fail after `milliseconds` without data (0: wait forever).
// For the daemon's accepted connections. Returns 0, or -1 with the cause in last_error().
int set_receive_timeout(int fd, unsigned milliseconds);

// The receive timeout of `fd` in milliseconds, as set_receive_timeout sets it (0: none, or
// unknown).
unsigned receive_timeout(int fd);

// Makes a send on `fd` fail when the peer has taken no data for `milliseconds` (0: wait forever).
// Returns 0, or -1 with the cause in last_error().
int set_send_timeout(int fd, unsigned milliseconds);

// The number of received bytes on `fd` that no receive has taken yet, without waiting; 0 when
// there are none or the descriptor cannot tell.
std::size_t pending_input(int fd);

// Receives up to `size` bytes into `data`. Returns the count, 0 when the peer has closed, -1 on
// error or when the receive timeout expired.
long receive(int fd, char* data, std::size_t size);

// The local port `fd` is bound to (host order), or -1. Lets a server bound to port 0 tell
// clients where it listens.
int local_port(int fd);

// Resolves `host` (a name or dotted quad) to its first IPv4 address. Returns false when it does
// not resolve. Thread safe.
bool resolve_ipv4(const char* host, in_addr* address);

// The dotted-quad text of `address`.
std::string ipv4_text(const in_addr& address);

// The address of a dotted-quad text, as inet_addr gives it (INADDR_NONE when malformed).
in_addr ipv4_from_text(const char* text);

// The error of the last failed call on this thread (errno, or WSAGetLastError()).
int last_error();

// The system's message for `code`, without a trailing line end.
std::string error_text(int code);

// True when `code` means a call was interrupted by a signal.
bool is_interrupted(int code);

// What a server should do after an accept that failed with `code`.
enum class AcceptFailure {
    retry_now,  // one pending connection went away before it was taken: accept the next at once
    pause,      // descriptors or memory are exhausted for now: try again after a short pause
    fatal,      // the listening socket itself is broken: stop accepting
};
AcceptFailure accept_failure_kind(int code);

// Makes a thread blocked in accept on the listening socket `fd` return, without releasing the
// descriptor (the accepting thread does that, so that its number cannot be handed to another
// socket while that thread may still use it). On POSIX the socket is shut down, which wakes
// accept and makes every later accept fail at once. Under Windows Sockets, where shutdown fails
// on a listening socket, a connection of its own is made to the socket and closed again; its
// local port is returned so that the accepting thread can tell it from a client's. Returns -1
// when no such connection was made (always on POSIX).
int wake_accept(int fd);

}  // namespace socket_ops
}  // namespace net_tools
