#include "brix/trace.h"

#include <atomic>

#include "brix/text_file.h"

namespace brix {

namespace {

// One standard stream and the lines lost on it since the last line that was written.
struct Sink {
    int number;
    std::atomic<unsigned long> lost{0};
};

Sink standard_output{1};
Sink standard_error{2};

void write_line(Sink& sink, const std::string& line) {
    if (sink.lost.load(std::memory_order_relaxed) != 0) {
        const unsigned long lost = sink.lost.exchange(0);
        if (lost != 0 &&
            !write_standard_stream(sink.number, "trace: " + std::to_string(lost) + " lines lost\n")
                 .empty()) {
            sink.lost += lost + 1;  // still failing: this line is lost too
            return;
        }
    }
    const std::string failure = write_standard_stream(sink.number, line + "\n");
    if (failure.empty()) return;
    if (sink.lost.fetch_add(1) == 0 && sink.number == 1) {
        write_line(standard_error, "brix: cannot write trace lines to standard output (" + failure +
                                       "); counting them until it works again");
    }
}

}  // namespace

void trace(const std::string& line) { write_line(standard_output, line); }

void trace_error(const std::string& line) { write_line(standard_error, line); }

std::string escaped_for_trace(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || byte == '%') {
            shown += '%';
            shown += kHex[byte >> 4];
            shown += kHex[byte & 0xF];
        } else {
            shown += c;
        }
    }
    return shown;
}

}  // namespace brix
