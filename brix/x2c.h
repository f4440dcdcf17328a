// URL decoding of request fields ("+" and "%XX" escapes). Public header. The two functions are
// free functions outside any namespace; both are pure, thread safe and never fail.
#pragma once

#include <string>

// The byte that the hex digits `high` and `low` stand for. Each character is taken as a signed
// 8-bit value c and turned into a digit by (c > 64 ? (c & ~0x20) - 55 : c - 48), so 0-9, A-F and
// a-f give their usual values and any other character gives what the same arithmetic gives;
// nothing is rejected. The result is 16 * high + low modulo 256.
char x2c(char high, char low);

// The URL-decoded form of `text`, in one pass: '+' becomes a space, '%' and the two characters
// after it become the byte x2c gives for them, any other byte is copied. A '%' with fewer than
// two characters after it ends the text and is dropped with what follows it. No character-set
// conversion: decoded bytes, zero bytes included, are kept as they are.
std::string x2c(const std::string& text);
