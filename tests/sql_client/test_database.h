// Test-only: the test database server as the tests see it, through the daemon's own build-time
// credentials (tools/db-server.sh provides the server, its accounts and the databases "test"
// and "test2").
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "sql_client/connection.h"

namespace brix_test {

// The second database the server script creates, for catalog switches.
inline constexpr char kOtherDatabase[] = "test2";

// A connection made with the configured credentials.
std::unique_ptr<sql_client::Connection> connect_configured();

// True when a fresh connection with the configured credentials works.
bool server_accepts_login();

// SELECT DATABASE() on the connection's handle; "<error N>" on failure, "<null>" for none.
std::string current_database(sql_client::Connection& connection);

// mysql_errno of the connection's handle, 0 for a closed connection.
unsigned error_number(const sql_client::Connection& connection);

// Kills the server (a crash) and waits until logins fail; starts it and waits until they work.
::testing::AssertionResult kill_server();
::testing::AssertionResult start_server();

// Base of every test that needs the server. Without one, the test is skipped with a reason on a
// developer machine and fails in continuous integration (CI=true), where the server must run.
class DatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override;
};

}  // namespace brix_test
