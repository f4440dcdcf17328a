// Splitting a request line into its URL-encoded fields. Internal to the daemon core.
#pragma once

#include <string>

#include "brix/form_data.h"

namespace brix {

// Splits `line` into fields and puts each decoded name and value into `form`, in request order.
// Anything after a NUL byte in the line is ignored. Fields are the non-empty pieces between "&"
// characters (runs of "&" and "&" at either end make no field); the first "=" in a field separates
// name from value, and a field without "=" is a name with an empty value. Splitting comes before
// decoding, so "%26" and "%3D" stay data. Pure: keeps no state, safe on any number of threads.
void parse_request_line(const std::string& line, FormData& form);

}  // namespace brix
