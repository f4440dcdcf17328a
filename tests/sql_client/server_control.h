// Test-only: asks tools/db-server.sh to start, stop or kill the test database server.
#pragma once

#include <string>

namespace brix_test {

// Runs the server script with `verb` (start, stop, kill, restart). On POSIX it returns when the
// script has finished, true on success. Under Wine a Unix program can be launched but not
// waited for: it returns true once the script is on its way. Either way, callers poll for the
// effect they need (a login that fails or works) with a deadline.
bool request_server(const std::string& verb);

}  // namespace brix_test
