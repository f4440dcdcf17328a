#include "brix/request_line.h"

#include "brix/x2c.h"

namespace brix {

void parse_request_line(const std::string& line, FormData& form) {
    const std::string text(line.c_str());  // up to the first NUL byte
    std::string::size_type start = 0;
    while (start < text.size()) {
        std::string::size_type end = text.find('&', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) {
            const std::string field = text.substr(start, end - start);
            const std::string::size_type equals = field.find('=');
            if (equals == std::string::npos) {
                form.put(x2c(field), std::string());
            } else {
                const std::string value = x2c(field.substr(equals + 1));
                form.put(x2c(field.substr(0, equals)), value);
            }
        }
        start = end + 1;
    }
}

}  // namespace brix
