// Trace lines: the daemon's only log, on standard output.
#pragma once

#include <string>

namespace brix {

// Writes `line` and an end of line to standard output in one write, then flushes, so that lines
// written by different threads at the same time never mix within a line. Thread safe.
void trace(const std::string& line);

// The same on standard error.
void trace_error(const std::string& line);

}  // namespace brix
