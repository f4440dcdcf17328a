#include "brix_call/url_encode.h"

#include <cctype>

namespace brix_call {

std::string url_encode(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += c;
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 0x0f];
        }
    }
    return out;
}

std::string encode_fields(const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& field : fields) {
        const std::string::size_type equals = field.find('=');
        if (!line.empty()) line += '&';
        line += url_encode(field.substr(0, equals));
        if (equals != std::string::npos) line += "=" + url_encode(field.substr(equals + 1));
    }
    return line;
}

}  // namespace brix_call
