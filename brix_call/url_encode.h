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

// The cgilet that the daemon picks for `line`, read as the daemon reads it (up to the first line
// feed): the decoded first value of the field "cgilet", or "hello" when there is none or it is
// empty. Names a cgilet in brix-call's messages.
std::string requested_cgilet(const std::string& line);

}  // namespace brix_call
