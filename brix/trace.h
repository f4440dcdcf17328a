// Trace lines: the daemon's only log, on standard output.
#pragma once

#include <string>

namespace brix {

// Writes `line` and an end of line to standard output in one write, so that lines written by
// different threads at the same time never mix within a line. Thread safe.
//
// A line that cannot be written (a full disk, say) is lost, but the next line is tried again:
// nothing stays failed. The first loss is reported on standard error; once lines can be written
// again, the first line written is "trace: N lines lost", counting those that were not.
void trace(const std::string& line);

// The same on standard error (its losses are counted on standard error alone).
void trace_error(const std::string& line);

// `text` as it may appear in a trace line: every byte outside printable ASCII (below 0x20, 0x7F
// and above) and '%' itself written as "%XX" (upper-case hex). So text from a request cannot start
// a line of its own or hide in the trace, the trace stays plain ASCII text whatever the encoding
// of the request, and "%0A" in a name reads "%250A", never as a line feed.
std::string escaped_for_trace(const std::string& text);

}  // namespace brix
