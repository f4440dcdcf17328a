// Reader for rows of comma-separated, double-quoted fields. Public header of the csv_reader
// library.
//
// The reader is driven by quotes, not commas: a field exists only where it is enclosed in double
// quotes, and a doubled double quote inside a field stands for one. Commas and line feeds outside
// quotes only separate fields and end the row; other text outside quotes is collected and becomes
// the start of the next quoted field, or is dropped when the row ends.
#pragma once

#include <istream>
#include <map>
#include <string>
#include <vector>

namespace csv_reader {

// Clears `row` and reads one row from `in` into it: up to and including the first line feed
// outside quotes, or to the end of the input. Returns `in`, so rows can be read in a loop for as
// long as the stream tests true. A last row with no line feed after it is still stored in `row`,
// but the stream comes back failed, so such a loop does not use it. A stream already failed on
// entry gives an empty row. Keeps no state between calls; not thread safe for one stream.
std::istream& operator>>(std::istream& in, std::vector<std::string>& row);

// For each field of `row`, from the first, sets `index[field]` to its position counting from 0;
// a name that occurs twice keeps its last position. Entries for other names are left untouched.
void map_row(const std::vector<std::string>& row, std::map<std::string, int>& index);

}  // namespace csv_reader
