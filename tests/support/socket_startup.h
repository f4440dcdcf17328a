// Test-only: starts the platform's socket library once per test process.
// The daemon's entry points do this themselves; test executables have no such entry point.
#pragma once

namespace brix_test {

// Starts Windows Sockets 1.1 on Windows; does nothing on POSIX. Call once, before any socket use.
void start_sockets();

}  // namespace brix_test
