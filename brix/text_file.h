// Whole text files read and written through descriptors that no child process inherits: the
// catalog is still open while cgilet factories run, and a factory may start a thread that starts a
// process. text_file_posix.cpp (O_CLOEXEC) and text_file_win32.cpp (handles made without
// inheritance) implement it. Internal to the daemon core.
#pragma once

#include <string>

namespace brix {

// Reads the whole file at `path` into `text`. Line ends are read as the platform's C library
// reads a text file (CR LF becomes LF on Windows). False, with `text` empty, when the file cannot
// be opened or read. Thread safe.
bool read_text_file(const std::string& path, std::string& text);

// Creates or truncates the file at `path` and writes `text` to it, LF written as the platform's
// text files end their lines (CR LF on Windows). False when the file cannot be opened or written
// in full. Thread safe.
bool write_text_file(const std::string& path, const std::string& text);

// Writes `text` to standard output (`stream` 1) or standard error (2) straight to the system,
// with no buffer or error state of the C or C++ library in between: a failure (a full disk, a
// closed pipe) costs this text alone, and the next call tries again. LF is written as the
// platform's text files end their lines. Returns "" when everything was written, otherwise the
// system's message. Thread safe; one call is one write where the text fits the system's buffer.
std::string write_standard_stream(int stream, const std::string& text);

}  // namespace brix
