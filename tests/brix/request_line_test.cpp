#include "brix/request_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using brix::FormData;
using brix::parse_request_line;
using Values = std::vector<std::string>;

namespace {

FormData parsed(const std::string& line) {
    FormData form;
    parse_request_line(line, form);
    return form;
}

}  // namespace

TEST(RequestLine, SplitsFieldsAndKeepsRepeatedValuesInOrder) {
    FormData form = parsed("cgilet=hello&name=World");
    EXPECT_EQ(form.fields.size(), 2u);
    EXPECT_EQ(form.fields["cgilet"], Values{"hello"});
    EXPECT_EQ(form.fields["name"], Values{"World"});

    form = parsed("cgilet=a&cgilet=b");
    EXPECT_EQ(form.fields["cgilet"], (Values{"a", "b"}));
    EXPECT_EQ(form.get_value("cgilet"), "a");
}

TEST(RequestLine, SplitsBeforeDecodingSoEncodedSeparatorsStayData) {
    FormData form = parsed("a=x%26y&b=1+2&k%3Dey=v");
    EXPECT_EQ(form.fields["a"], Values{"x&y"});
    EXPECT_EQ(form.fields["b"], Values{"1 2"});
    EXPECT_EQ(form.fields["k=ey"], Values{"v"});
}

TEST(RequestLine, OnlyTheFirstEqualsSignSeparates) {
    EXPECT_EQ(parsed("c=d=e").fields["c"], Values{"d=e"});
    EXPECT_EQ(parsed("=v").fields[""], Values{"v"});
}

TEST(RequestLine, EmptyPiecesMakeNoFields) {
    FormData form = parsed("&&a=1&&");
    EXPECT_EQ(form.fields.size(), 1u);
    EXPECT_EQ(form.fields["a"], Values{"1"});
    EXPECT_TRUE(parsed("").fields.empty());
    EXPECT_TRUE(parsed("&&&").fields.empty());
}

TEST(RequestLine, AFieldWithoutEqualsSignIsANameWithAnEmptyValue) {
    FormData form = parsed("cgilet&x=1");
    EXPECT_EQ(form.fields["cgilet"], Values{""});
    EXPECT_EQ(form.fields["x"], Values{"1"});
}

TEST(RequestLine, IgnoresEverythingAfterANulByte) {
    const std::string line("a=1&b=2\0&c=3", 12);
    FormData form = parsed(line);
    EXPECT_EQ(form.fields.size(), 2u);
    EXPECT_EQ(form.fields.count("c"), 0u);
    // An encoded zero byte is data, not the end of the line.
    EXPECT_EQ(parsed("z=%00x").fields["z"], Values{std::string("\0x", 2)});
}

TEST(RequestLine, KeepsATrailingCarriageReturnInTheLastValue) {
    EXPECT_EQ(parsed("name=x&cgilet=hello\r").fields["cgilet"], Values{"hello\r"});
}
