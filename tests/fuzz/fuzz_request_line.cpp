// The request line as a worker reads it: split into fields and decoded. What the decoder gives
// back, encoded again, must decode to the same fields, and brix-call must name the same cgilet
// in its messages.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "brix/form_data.h"
#include "brix/request_line.h"
#include "brix_call/url_encode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    brix::FormData form;
    brix::parse_request_line(line, form);

    std::string again;
    for (const auto& field : form.fields) {
        for (const std::string& value : field.second) {
            again += (again.empty() ? "" : "&") + brix_call::url_encode(field.first) + "=" +
                     brix_call::url_encode(value);
        }
    }
    brix::FormData decoded_again;
    brix::parse_request_line(again, decoded_again);
    if (decoded_again.fields != form.fields) std::abort();

    // brix-call takes its lines from the command line, which holds no NUL byte.
    if (line.find_first_of(std::string("\n\0", 2)) == std::string::npos) {
        std::string name = form.get_value("cgilet");
        if (name.empty()) name = "hello";
        if (brix_call::requested_cgilet(line) != name) std::abort();
    }
    return 0;
}
