// Request fields from brix-call's encoding to the daemon's FormData.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "brix/form_data.h"
#include "brix/request_line.h"
#include "brix/x2c.h"
#include "brix_call/url_encode.h"

namespace {

using Fields = std::map<std::string, std::vector<std::string>>;
using namespace std::string_literals;

// Cgilets use a FormData through their own copy of the class: its layout is the map alone.
static_assert(sizeof(brix::FormData) == sizeof(Fields));

TEST(Decoding, X2cDecodesPlusAndEscapesInOnePassAndBrixCallEncodesForIt) {
    // Any character is a digit of the arithmetic: 'G' counts as 16, 'z' as 35 (modulo 256), '%'
    // as -11, and bytes from 128 (negative) as themselves less 48.
    EXPECT_EQ(x2c("a+b|100%25|%2B+|%2541|%%41|a%00b|%e2%82%ac|%7e%7E%fF%9a|%4G%zz|%\xe9\x30%0\x80|"
                  "\xe2\x82\xac"),
              "a b|100%|+ |%41|T1|a\0b|\xe2\x82\xac|~~\xff\x9a|PS|\x90P|\xe2\x82\xac"s);
    // An escape cut short by the end of the text is dropped.
    EXPECT_EQ(x2c("") + x2c("a%") + x2c("a%4") + x2c("%"), "aa");

    // brix-call escapes all but unreserved bytes, a space as "+".
    EXPECT_EQ(brix_call::url_encode("AZaz09-_.~|a b|x&y=z%+/|\0\r\n\x7f\x80\xff"s),
              "AZaz09-_.~%7Ca+b%7Cx%26y%3Dz%25%2B%2F%7C%00%0D%0A%7F%80%FF");
    // An argument splits at its first "=".
    EXPECT_EQ(brix_call::encode_fields({"cgilet=hello", "name=Ann Lee", "=x", "flag", "c=d=e"}),
              "cgilet=hello&name=Ann+Lee&=x&flag&c=d%3De");
}

TEST(Decoding, RequestLineSplitsAtAmpersandsAndTheFirstEqualsSignIntoAFormData) {
    const std::pair<std::string, Fields> cases[] = {
        {"cgilet=a&name=World&cgilet=b", {{"cgilet", {"a", "b"}}, {"name", {"World"}}}},
        {"a=x%26y&b=1+2&k%3Dey=v", {{"a", {"x&y"}}, {"b", {"1 2"}}, {"k=ey", {"v"}}}},
        {"&&c=d=e&&=v&", {{"c", {"d=e"}}, {"", {"v"}}}},
        {"cgilet&x=1", {{"cgilet", {""}}, {"x", {"1"}}}},
        {"a=1\0&c=3"s, {{"a", {"1"}}}},                       // nothing after a NUL byte counts
        {"z=%00x&c=d\r", {{"z", {"\0x"s}}, {"c", {"d\r"}}}},  // an encoded NUL is data
    };
    for (const auto& [line, fields] : cases) {
        brix::FormData form;
        brix::parse_request_line(line, form);
        EXPECT_EQ(form.fields, fields) << line;
    }

    // get_value gives the first value, and adds an absent name with no values.
    brix::FormData form;
    brix::parse_request_line("x=first&x=second&e", form);
    EXPECT_EQ(form.get_value("x") + form.get_value("e") + form.get_value("absent"), "first");
    EXPECT_EQ(form.fields, (Fields{{"x", {"first", "second"}}, {"e", {""}}, {"absent", {}}}));
}

}  // namespace
