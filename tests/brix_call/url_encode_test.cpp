// brix-call's encoding of request fields, checked against the daemon's own decoding: whatever a
// field holds, the daemon must get it back byte for byte.
#include "brix_call/url_encode.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "brix/form_data.h"
#include "brix/request_line.h"
#include "brix/x2c.h"

using brix_call::encode_fields;
using brix_call::url_encode;

namespace {

// Every byte value once, NUL, "&", "=", "%", "+", CR and LF included.
std::string every_byte() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    return bytes;
}

// The request line for `fields` as the daemon decodes it.
std::map<std::string, std::vector<std::string>> decoded(const std::vector<std::string>& fields) {
    brix::FormData form;
    brix::parse_request_line(encode_fields(fields), form);
    return form.fields;
}

}  // namespace

TEST(UrlEncode, KeepsUnreservedBytesAndEscapesTheRest) {
    EXPECT_EQ(url_encode("AZaz09-_.~"), "AZaz09-_.~");
    EXPECT_EQ(url_encode("a b"), "a+b");
    EXPECT_EQ(url_encode("x&y=z%+/"), "x%26y%3Dz%25%2B%2F");
    EXPECT_EQ(url_encode(std::string("\0\r\n\x7f\x80\xff", 6)), "%00%0D%0A%7F%80%FF");
    EXPECT_EQ(url_encode(""), "");
}

TEST(UrlEncode, EveryByteSurvivesTheDaemonsDecoder) {
    const std::string bytes = every_byte();
    const std::string encoded = url_encode(bytes);
    // Nothing in the encoded text can end or split a request line.
    EXPECT_EQ(encoded.find_first_of(std::string("&=\n\0", 4)), std::string::npos);
    EXPECT_EQ(x2c(encoded), bytes);
}

TEST(EncodeFields, RoundTripsThroughTheRequestLineParser) {
    const std::string bytes = every_byte();
    std::string name_bytes = bytes;
    name_bytes.erase(name_bytes.find('='), 1);  // a NAME=VALUE argument splits at its first "="

    std::map<std::string, std::vector<std::string>> expected{
        {"cgilet", {"echo"}},  {"v", {bytes, "second value", ""}},
        {name_bytes, {bytes}}, {"c", {"d=e"}},
        {"flag", {""}},  // an argument without "=" is a name with no value
    };
    EXPECT_EQ(decoded({"cgilet=echo", "v=" + bytes, "c=d=e", "v=second value",
                       name_bytes + "=" + bytes, "flag", "v="}),
              expected);
}

TEST(EncodeFields, JoinsFieldsInOrderWithoutALineFeed) {
    EXPECT_EQ(encode_fields({}), "");
    EXPECT_EQ(encode_fields({"cgilet=hello", "name=Ann Lee", "=x", "flag"}),
              "cgilet=hello&name=Ann+Lee&=x&flag");
    // The daemon reads an empty name as any other.
    EXPECT_EQ(decoded({"=x"}), (std::map<std::string, std::vector<std::string>>{{"", {"x"}}}));
}
