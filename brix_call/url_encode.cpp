#include "brix_call/url_encode.h"

#include <cctype>

#include "brix/x2c.h"

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

std::string requested_cgilet(const std::string& line) {
    const std::string request = line.substr(0, line.find('\n'));
    std::string::size_type start = 0;
    while (start <= request.size()) {
        std::string::size_type end = request.find('&', start);
        if (end == std::string::npos) end = request.size();
        const std::string field = request.substr(start, end - start);
        const std::string::size_type equals = field.find('=');
        if (x2c(field.substr(0, equals)) == "cgilet") {
            const std::string name =
                equals == std::string::npos ? "" : x2c(field.substr(equals + 1));
            return name.empty() ? "hello" : name;
        }
        start = end + 1;
    }
    return "hello";
}

}  // namespace brix_call
