#include "csv_reader/csv_reader.h"

namespace csv_reader {

std::istream& operator>>(std::istream& in, std::vector<std::string>& row) {
    row.clear();
    std::string pending;
    bool in_quotes = false;
    while (in) {
        // At the end of the input this get fails the stream; the value it returns lands in
        // `pending`, which is discarded with the rest of the unfinished field.
        const char c = static_cast<char>(in.get());
        if (!in_quotes && c == ',') continue;
        if (!in_quotes && c == '\n') break;
        if (c == '"') {
            if (!in_quotes) {
                in_quotes = true;
            } else if (in.peek() == '"') {
                in.get();
                pending += '"';
            } else {
                in_quotes = false;
                row.push_back(pending);
                pending.clear();
            }
            continue;
        }
        pending += c;
    }
    return in;
}

void map_row(const std::vector<std::string>& row, std::map<std::string, int>& index) {
    for (std::vector<std::string>::size_type i = 0; i < row.size(); ++i) {
        index[row[i]] = static_cast<int>(i);
    }
}

}  // namespace csv_reader
