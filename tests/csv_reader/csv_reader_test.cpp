#include "csv_reader/csv_reader.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

using csv_reader::operator>>;
using Row = std::vector<std::string>;

namespace {

TEST(CsvReader, ReadsOneRowByItsQuotesAndMapsColumns) {
    const std::tuple<std::string, Row, bool> cases[] = {
        {"\"a\",\"x,y\",\"say \"\"hi\"\"\",\"\"\n", {"a", "x,y", "say \"hi\"", ""}, true},
        {"\"\",\"two\nlines\"\n", {"", "two\nlines"}, true},
        // 0xFF is a byte like any other, not the end of the input.
        {std::string("\"a\xff\0b\"\n", 7), {std::string("a\xff\0b", 4)}, true},
        // Text outside quotes leads the next field, or is dropped at the end of the row.
        {"abc,\"def\"\n", {"abcdef"}, true},
        {"\"a\"  ,\"b\",c\r\n", {"a", "  b"}, true},
        {"\n\"next\"\n", {}, true},
        // The end of the input fails the stream, even after a complete last row.
        {"\"a\",\"b\"", {"a", "b"}, false},
        {"\"abc", {}, false},
        {"", {}, false},
    };
    for (const auto& [input, expected, good] : cases) {
        std::istringstream in(input);
        Row row{"left over"};
        EXPECT_EQ(static_cast<bool>(in >> row), good) << input;
        EXPECT_EQ(row, expected) << input;
    }
    // map_row indexes a row's columns by name, keeping other entries.
    std::map<std::string, int> index{{"kept", 7}};
    csv_reader::map_row(Row{"id", "name", "id"}, index);
    EXPECT_EQ(index, (std::map<std::string, int>{{"id", 2}, {"name", 1}, {"kept", 7}}));
}

}  // namespace
