// A request line's fields, encoded again, decode the same; brix-call names the same cgilet.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "brix/form_data.h"
#include "brix/request_line.h"
#include "brix_call/url_encode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    brix::FormData form, again;
    brix::parse_request_line(line, form);
    std::string encoded;
    for (const auto& [name, values] : form.fields)
        for (const std::string& value : values)
            encoded += "&" + brix_call::url_encode(name) + "=" + brix_call::url_encode(value);
    brix::parse_request_line(encoded, again);
    if (again.fields != form.fields) std::abort();
    // brix-call takes its lines from the command line, which holds no NUL byte.
    const std::string name = form.get_value("cgilet");
    if (line.find_first_of(std::string("\n\0", 2)) == std::string::npos &&
        brix_call::requested_cgilet(line) != (name.empty() ? "hello" : name))
        std::abort();
    return 0;
}
