// Test-only: the test database server (tools/db-server.sh: accounts and the databases "test" and
// "test2") as the tests see it, through the daemon's own build-time credentials.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sql_client/connection.h"

namespace brix_test {

// The second database the server script creates, for catalog switches.
inline constexpr char kOtherDatabase[] = "test2";

std::unique_ptr<sql_client::Connection> connect_configured();

// SELECT DATABASE() on the connection's handle; "<error N>" on failure.
std::string current_database(sql_client::Connection& connection);

// mysql_errno of the connection's handle, 0 for a closed connection.
unsigned error_number(const sql_client::Connection& connection);

// Runs the server script with `verb` (start, kill). On POSIX it returns when the script has
// finished, true on success; under Wine, which cannot wait for a Unix program, once it is on its
// way (server_control_posix.cpp / _win32.cpp).
bool request_server(const std::string& verb);

// Kills the server (a crash) or starts it, and waits until logins fail or work.
::testing::AssertionResult set_server_up(bool up);

// Base of every test that needs the server; the first SetUp initialises the client library for
// the program. Without a server, the test is skipped with a reason, or fails in continuous
// integration (CI=true), where the server must run. A test that kills the server leaves it
// running again, whatever its outcome.
class DatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

}  // namespace brix_test
