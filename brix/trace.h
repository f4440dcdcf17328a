// Trace lines: the daemon's only log, on standard output.
#pragma once

#include <string>

namespace brix {

// Writes `line` and an end of line to standard output in one write, then flushes, so that lines
// written by different threads at the same time never mix within a line. Thread safe.
void trace(const std::string& line);

// The same on standard error.
void trace_error(const std::string& line);

// `text` with each control byte (below 0x20, and 0x7F) written as "%XX" (upper-case hex), so that
// text from a request cannot start a line of its own or hide in the trace; other bytes, a plain
// name's included, stay as they are.
std::string without_control_bytes(const std::string& text);

}  // namespace brix
