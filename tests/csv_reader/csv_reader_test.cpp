#include "csv_reader/csv_reader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using csv_reader::operator>>;
using Row = std::vector<std::string>;

namespace {

// Reads one row from `text`; `good` receives whether the stream still tests true afterwards.
Row read_one(const std::string& text, bool* good = nullptr) {
    std::istringstream in(text);
    Row row{"left over"};
    const bool ok = static_cast<bool>(in >> row);
    if (good) *good = ok;
    return row;
}

// Every row the daemon would use: read while the stream tests true after the read.
std::vector<Row> read_all(std::istream& in) {
    std::vector<Row> rows;
    Row row;
    while (in >> row) rows.push_back(row);
    return rows;
}

}  // namespace

TEST(CsvReader, QuotedFieldsHoldSeparatorsAndDoubledQuotes) {
    bool good = false;
    EXPECT_EQ(read_one("\"a\",\"b\",\"c\",\"d\"\n", &good), (Row{"a", "b", "c", "d"}));
    EXPECT_TRUE(good);
    EXPECT_EQ(read_one("\"x,y\",\"z\"\n"), (Row{"x,y", "z"}));
    EXPECT_EQ(read_one("\"say \"\"hi\"\"\"\n"), (Row{"say \"hi\""}));
    EXPECT_EQ(read_one("\"\",\"\"\n"), (Row{"", ""}));
    EXPECT_EQ(read_one("\"two\nlines\",\"b\"\n"), (Row{"two\nlines", "b"}));
    // Bytes are kept as they are, including 0xFF, which must not be taken for end of input.
    EXPECT_EQ(read_one(std::string("\"a\xff\0b\"\n", 7)), (Row{std::string("a\xff\0b", 4)}));
}

TEST(CsvReader, TextOutsideQuotesLeadsTheNextFieldOrIsDropped) {
    EXPECT_EQ(read_one("abc,\"def\"\n"), (Row{"abcdef"}));
    EXPECT_EQ(read_one("\"a\",b\n"), (Row{"a"}));
    EXPECT_EQ(read_one("\"a\"  ,\"b\"\n"), (Row{"a", "  b"}));
    EXPECT_EQ(read_one("\"a\",\"b\"\r\n"), (Row{"a", "b"}));
}

TEST(CsvReader, RowEndsAtLineFeedOutsideQuotesLeavingTheRestUnread) {
    std::istringstream in("\"1\",\"2\"\n\n\"open\nstill\",\"x\"\n\"3\"\n");
    Row row;
    ASSERT_TRUE(in >> row);
    EXPECT_EQ(row, (Row{"1", "2"}));
    ASSERT_TRUE(in >> row);
    EXPECT_TRUE(row.empty());  // an empty line
    ASSERT_TRUE(in >> row);
    EXPECT_EQ(row, (Row{"open\nstill", "x"}));
    ASSERT_TRUE(in >> row);
    EXPECT_EQ(row, (Row{"3"}));
    EXPECT_FALSE(in >> row);
    EXPECT_TRUE(row.empty());
}

TEST(CsvReader, EndOfInputFailsTheStream) {
    bool good = true;
    // The last row without a line feed is read, but reported through a failed stream.
    EXPECT_EQ(read_one("\"a\",\"b\"", &good), (Row{"a", "b"}));
    EXPECT_FALSE(good);
    // A quote left open swallows the rest of the input.
    good = true;
    EXPECT_TRUE(read_one("\"abc", &good).empty());
    EXPECT_FALSE(good);
    good = true;
    EXPECT_TRUE(read_one("", &good).empty());
    EXPECT_FALSE(good);

    // A stream failed on entry gives an empty row and stays as it was.
    std::istringstream failed("\"a\"\n");
    failed.setstate(std::ios::failbit);
    Row row{"left over"};
    EXPECT_FALSE(failed >> row);
    EXPECT_TRUE(row.empty());
    EXPECT_EQ(failed.rdstate(), std::ios::failbit);
}

TEST(CsvReader, MapRowIndexesColumnsByName) {
    std::map<std::string, int> index{{"kept", 7}};
    csv_reader::map_row(Row{"id", "name", "id"}, index);
    EXPECT_EQ(index, (std::map<std::string, int>{{"id", 2}, {"name", 1}, {"kept", 7}}));
}

TEST(CsvReader, ReadsACatalogFileUntilTheStreamFails) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("brix_csv_test_" + std::to_string(std::random_device{}()) + ".csv");
    {
        std::ofstream out(path);
        out << "\"hello\",\"hello.dll\",\"create_hello\",\"none\"\n"
               "\"short\",\"row\"\n"
               "\"people\",\"people.dll\",\"create_people\",\"test\",\"extra\"\n"
               "\"unterminated\",\"last.dll\",\"create_last\",\"none\"";
    }
    std::ifstream in(path);
    ASSERT_TRUE(in.is_open());
    const std::vector<Row> rows = read_all(in);
    in.close();
    std::filesystem::remove(path);

    // The final row has no line feed, so a loop on the stream's state never sees it.
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (Row{"hello", "hello.dll", "create_hello", "none"}));
    EXPECT_EQ(rows[1], (Row{"short", "row"}));
    EXPECT_EQ(rows[2], (Row{"people", "people.dll", "create_people", "test", "extra"}));
}
