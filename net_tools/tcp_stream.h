// Public header, part of the cgilet plug-in interface: it includes only standard headers.
// Cgilet libraries receive the daemon's tcp_stream by address and call it directly, so the
// fields below, their order and widths, and the single virtual function (the destructor) are
// fixed: changing any of them breaks every built plug-in.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace net_tools {

// Bounds the receives of one read by a deadline; internal to tcp_stream.cpp.
class ReceiveDeadline;

// Size of tcp_stream's scratch area, which holds an integer's text while it is sent.
constexpr int IO_BUFFER_SIZE = 1024;

// A connected TCP socket with stream-style I/O. Every read receives one byte, and every
// insertion is sent at once, so nothing beyond what an operation returns (plus its one
// terminating byte) is taken from the socket.
//
// Failure is a sticky error flag, tested through the stream's truth value and cleared only by
// clearerr; nothing throws. The stream owns its descriptor and releases it exactly once, in
// close or the destructor. Not thread safe: one thread at a time uses a stream.
class tcp_stream {
  public:
    // Wraps an accepted descriptor, which the stream then owns. The descriptor is not checked.
    explicit tcp_stream(int fd);

    // Connects to `host` (a name or dotted quad) on `port`. On any failure (the name does not
    // resolve, no socket, connection refused) the stream tests false; a name that does not
    // resolve leaves it without a socket, so later operations fail without touching one.
    tcp_stream(const char* host, int port);

    // Releases the descriptor unless close already has.
    virtual ~tcp_stream();

    tcp_stream(const tcp_stream&) = delete;
    tcp_stream& operator=(const tcp_stream&) = delete;

    // Clears the error flag (and the scratch area). Does not reopen a closed stream.
    void clearerr();

    // Null (false) only when the error flag is set and the stream is still open: a closed
    // stream tests true whatever its flag.
    operator void*() const;

    // Each sends its text at once; a failed or incomplete send sets the error flag and shuts the
    // sending side down, so that later insertions fail at once instead of waiting for a peer that
    // does not read (each would wait the socket's send timeout again). An int is sent as signed
    // decimal; a std::string is sent whole, NUL bytes included.
    tcp_stream& operator<<(int value);
    tcp_stream& operator<<(const char* text);
    tcp_stream& operator<<(const std::string& text);

    // Reads bytes up to the first white space, which is consumed and not stored. Leading white
    // space is not skipped (the word is then empty). A failed receive only ends the word.
    tcp_stream& operator>>(std::string& word);

    // Skips white space, then reads decimal digits (no sign) and stores their value, or 0 when
    // there were none; values beyond the int range are stored as INT_MAX. The byte that ends
    // the digits is consumed. A failed receive sets the error flag and stores the digits so far.
    tcp_stream& operator>>(int& value);

    // Receives one byte; on failure sets the error flag and returns 0.
    char get();

    // Releases the descriptor now (once; later calls do nothing). Does not shut the
    // connection down first and does not touch the error flag. Operations after close fail
    // without touching any descriptor.
    void close();

    // Reads up to the first line feed, which is consumed and not returned (a carriage return
    // before it stays in the result). Stops after `max` bytes (at least one is read), leaving
    // the rest of the line in the socket. Stops at the first failed receive. On a stream whose
    // flag is already set, one byte is read and dropped and the result is empty.
    std::string read_line(unsigned max);

    // The same, but the whole line must arrive within `limit` of the call: a client that sends
    // nothing, or dribbles bytes, cannot hold the reader longer (a limit of 0 or less: no limit).
    // When the time is up the line read so far is returned and the error flag is set. Works
    // through the socket's receive timeout, and sets the timeout the socket had before again
    // when it returns.
    std::string read_line(unsigned max, std::chrono::milliseconds limit);

    // The same with the end of the time given as a point of the steady clock. A deadline that
    // has already passed reads only the bytes that have already arrived, without waiting.
    std::string read_line_until(unsigned max, std::chrono::steady_clock::time_point deadline);

    // Closes the stream so that the peer sees a clean end of the stream after the response. If
    // the peer sent bytes that nobody read (a request line longer than was read, or data after
    // it), releasing the socket now would reset the connection, which can destroy the response
    // still unread in the peer's buffers. So the sending side is shut first and unread input is
    // read and dropped until the peer closes, for at most `limit` and `max_bytes`. Without unread
    // input it costs one non-blocking check. Does nothing more on a stream already closed.
    void close_gracefully(std::chrono::milliseconds limit, std::size_t max_bytes);

  private:
    // Receives one byte into `byte`; false when the receive failed. Leaves the flag alone.
    bool receive(char& byte);
    // Sends `size` bytes; a failed or incomplete send sets the flag and shuts the sending side.
    void send(const char* data, std::size_t size);
    // read_line, its receives bounded by `deadline` unless that is null.
    std::string read_line_within(unsigned max, ReceiveDeadline* deadline);

    bool failed;
    int fd;
    char buf[IO_BUFFER_SIZE];
    const char* host;
    [[maybe_unused]] int port;  // kept for the layout: the peer's port, read by nothing
    bool is_open;
};

}  // namespace net_tools
