// The "echo" cgilet: writes back every field of the request with all of its values, one
// "name=value" line each, names in byte order and values in request order. Bytes that would make
// the output ambiguous or invisible (control characters, '%', '=' in names, bytes above 126) are
// written as %XX, so what a misbehaving client really sent can be read off the response.
#include <string>

#include "brix/cgilet_export.h"
#include "brix/form_data.h"
#include "net_tools/tcp_stream.h"

namespace {

std::string visible(const std::string& text, bool is_name) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7e || c == '%' || (is_name && c == '=')) {
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 0x0f];
        } else {
            out += c;
        }
    }
    return out;
}

class Echo : public brix::Cgilet {
  public:
    void process(net_tools::tcp_stream& stream, brix::FormData& form,
                 sql_client::Connection*) override {
        process_without_database(stream, form);
    }

    void process_without_database(net_tools::tcp_stream& stream, brix::FormData& form) override {
        std::string response;
        for (const auto& field : form.fields) {
            const std::string name = visible(field.first, true);
            if (field.second.empty()) response += name + "\n";
            for (const std::string& value : field.second) {
                response += name + "=" + visible(value, false) + "\n";
            }
        }
        stream << response;
    }
};

}  // namespace

BRIX_CGILET_EXPORT brix::Cgilet* make_echo() { return new Echo; }
