#include "brix/trace.h"

#include <iostream>

namespace brix {

void trace(const std::string& line) { std::cout << line + "\n" << std::flush; }

void trace_error(const std::string& line) { std::cerr << line + "\n" << std::flush; }

std::string without_control_bytes(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
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
