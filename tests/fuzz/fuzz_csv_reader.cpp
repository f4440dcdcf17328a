// Rows read from any bytes, written back as quoted fields, must read back the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "csv_reader/csv_reader.h"

namespace {

std::vector<std::vector<std::string>> rows_of(const std::string& text) {
    using csv_reader::operator>>;
    std::istringstream in(text);
    std::vector<std::vector<std::string>> rows;
    for (std::vector<std::string> row; in >> row;) rows.push_back(row);
    return rows;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto rows = rows_of(std::string(reinterpret_cast<const char*>(data), size));
    std::string written;
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i) {
            written += i > 0 ? ",\"" : "\"";
            for (const char c : row[i]) written += c == '"' ? "\"\"" : std::string(1, c);
            written += '"';
        }
        written += '\n';
    }
    if (rows_of(written) != rows) std::abort();
    return 0;
}
