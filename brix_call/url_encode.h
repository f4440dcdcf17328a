// URL encoding of request fields for brix-call.
#pragma once

#include <string>
#include <vector>

namespace brix_call {

// `text` with every byte except letters, digits and "-_.~" written as %XX, and spaces as "+", so
// that the daemon's decoder gives back exactly `text`.
std::string url_encode(const std::string& text);

// The request line for `fields`, each "NAME=VALUE" (split at its first "="), encoded and joined
// with "&". No line feed is added.
std::string encode_fields(const std::vector<std::string>& fields);

}  // namespace brix_call
