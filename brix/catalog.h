// Loading the cgilet catalog file ("cgi.csv"): one row per cgilet, four double-quoted fields:
// name, library path, factory name, database catalog or "none". Internal to the daemon core.
#pragma once

#include <string>
#include <vector>

#include "brix/cgi_context.h"

namespace brix {

// Reads the catalog file at `path` and appends one new entry per usable row to `catalog`, in file
// order. Rows with fewer than four fields are skipped silently; fields after the fourth are
// ignored. A row whose library does not load, whose factory is not exported, or whose factory makes
// no object or throws is skipped with a trace line naming the row, the library, the factory and
// the system's error or the exception's text, and start-up goes on. A last row without a line feed
// is not used. A file that cannot be opened leaves the catalog as it was (with a trace line). The
// caller owns the entries. Main thread only, before any worker starts.
void load_catalog(const std::string& path, std::vector<CGIContext*>& catalog);

}  // namespace brix
