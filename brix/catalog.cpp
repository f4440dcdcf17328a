#include "brix/catalog.h"

#include <sstream>
#include <string>

#include "brix/text_file.h"
#include "brix/trace.h"
#include "csv_reader/csv_reader.h"

namespace brix {

void load_catalog(const std::string& path, std::vector<CGIContext*>& catalog) {
    // Read whole before any factory runs; the descriptor is close-on-exec all the same.
    std::string text;
    if (!read_text_file(path, text)) {
        trace("catalog " + path + " cannot be opened: no cgilets");
        return;
    }
    std::istringstream file(text);
    std::vector<std::string> row;
    int row_number = 0;
    while (csv_reader::operator>>(file, row)) {
        ++row_number;
        if (row.size() < 4) continue;
        auto* entry = new CGIContext(row[0], row[1], row[2], row[3]);
        if (!entry->usable()) {
            trace("catalog " + path + " row " + std::to_string(row_number) + " skipped: cgilet \"" +
                  row[0] + "\", library \"" + row[1] + "\", factory \"" + row[2] +
                  "\": " + entry->failure_text());
            delete entry;
            continue;
        }
        catalog.push_back(entry);
    }
}

}  // namespace brix
