#include "brix/x2c.h"

namespace {

// Digit value of one character, computed on its signed 8-bit value (bytes 128-255 are negative).
int hex_digit(char digit) {
    const int c = static_cast<signed char>(digit);
    return c > 64 ? (c & ~0x20) - 55 : c - 48;
}

}  // namespace

char x2c(char high, char low) {
    const int value = (16 * hex_digit(high) + hex_digit(low)) & 0xFF;
    return static_cast<char>(static_cast<unsigned char>(value));
}

std::string x2c(const std::string& text) {
    std::string result;
    result.reserve(text.size());
    for (std::string::size_type i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            result += ' ';
        } else if (c == '%') {
            if (text.size() - i < 3) break;
            result += x2c(text[i + 1], text[i + 2]);
            i += 2;
        } else {
            result += c;
        }
    }
    return result;
}
