#include "brix/x2c.h"

#include <gtest/gtest.h>

#include <string>

namespace {

unsigned byte(char c) { return static_cast<unsigned char>(c); }

}  // namespace

TEST(X2cPair, DecodesHexDigitsInEitherCase) {
    EXPECT_EQ(byte(x2c('0', '0')), 0x00u);
    EXPECT_EQ(byte(x2c('4', '1')), 0x41u);
    EXPECT_EQ(byte(x2c('7', 'e')), 0x7Eu);
    EXPECT_EQ(byte(x2c('7', 'E')), 0x7Eu);
    EXPECT_EQ(byte(x2c('f', 'F')), 0xFFu);
    EXPECT_EQ(byte(x2c('9', 'a')), 0x9Au);
}

TEST(X2cPair, NonDigitsFollowTheSameArithmetic) {
    EXPECT_EQ(x2c('4', 'G'), 'P');  // G counts as 16
    EXPECT_EQ(x2c('z', 'z'), 'S');  // 35 * 16 + 35 = 595, modulo 256
    EXPECT_EQ(x2c('%', '4'), 'T');  // '%' counts as -11
    // Bytes 128-255 are negative and take the c - 48 rule.
    EXPECT_EQ(byte(x2c('\xe9', '0')), 0x90u);
    EXPECT_EQ(x2c('0', '\x80'), 'P');
}

TEST(X2cString, DecodesPlusAndEscapesInOnePass) {
    EXPECT_EQ(x2c(std::string("a+b")), "a b");
    EXPECT_EQ(x2c(std::string("%41")), "A");
    EXPECT_EQ(x2c(std::string("%7e%7E")), "~~");
    EXPECT_EQ(x2c(std::string("100%25")), "100%");
    EXPECT_EQ(x2c(std::string("%2B+")), "+ ");
    EXPECT_EQ(x2c(std::string("%2541")), "%41");
    EXPECT_EQ(x2c(std::string("a%26b%3Dc")), "a&b=c");
    EXPECT_EQ(x2c(std::string("plain text")), "plain text");
    EXPECT_EQ(x2c(std::string("")), "");
}

TEST(X2cString, MalformedEscapesAreDecodedOrDropped) {
    EXPECT_EQ(x2c(std::string("%4G")), "P");
    EXPECT_EQ(x2c(std::string("%zz")), "S");
    EXPECT_EQ(x2c(std::string("%%41")), "T1");
    EXPECT_EQ(x2c(std::string("a%")), "a");
    EXPECT_EQ(x2c(std::string("a%4")), "a");
    EXPECT_EQ(x2c(std::string("%")), "");
}

TEST(X2cString, KeepsEveryByteWithoutCharacterSetConversion) {
    EXPECT_EQ(x2c(std::string("%00")), std::string(1, '\0'));
    EXPECT_EQ(x2c(std::string("a%00b")), std::string("a\0b", 3));
    EXPECT_EQ(x2c(std::string("%e2%82%ac")), "\xe2\x82\xac");
    EXPECT_EQ(x2c(std::string("\xe2\x82\xac")), "\xe2\x82\xac");
}
