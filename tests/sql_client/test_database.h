// Test-only: the test database server (tools/db-server.sh: accounts and the databases "test" and
// "test2") as the tests see it, through the daemon's own build-time credentials.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "sql_client/client_library.h"
#include "sql_client/connection.h"
#include "sql_client/database_settings.h"
#include "tests/support/wait_until.h"

namespace brix_test {

// The second database the server script creates, for catalog switches.
inline constexpr char kOtherDatabase[] = "test2";

inline std::unique_ptr<sql_client::Connection> connect_configured() {
    namespace settings = sql_client::settings;
    return std::make_unique<sql_client::Connection>(settings::host(), settings::kUser,
                                                    settings::kPassword, settings::kDatabase);
}

// mysql_errno of the connection's handle, 0 for a closed connection.
inline unsigned error_number(const sql_client::Connection& connection) {
    return connection.handle() != nullptr ? mysql_errno(connection.handle()) : 0;
}

// SELECT DATABASE() on the connection's handle; "<error N>" on failure.
inline std::string current_database(sql_client::Connection& connection) {
    MYSQL* mysql = connection.handle();
    MYSQL_RES* result = nullptr;
    if (mysql == nullptr || mysql_query(mysql, "SELECT DATABASE()") != 0 ||
        (result = mysql_store_result(mysql)) == nullptr) {
        return "<error " + std::to_string(error_number(connection)) + ">";
    }
    MYSQL_ROW row = mysql_fetch_row(result);
    std::string name = row != nullptr && row[0] != nullptr ? row[0] : "<null>";
    mysql_free_result(result);
    return name;
}

// Runs the server script with `verb` (start, kill). On POSIX it returns when the script has
// finished, true on success; under Wine, which cannot wait for a Unix program, once it is on its
// way (server_control_posix.cpp / _win32.cpp).
bool request_server(const std::string& verb);

// Kills the server (a crash) or starts it, and waits until logins fail or work.
inline ::testing::AssertionResult set_server_up(bool up) {
    if (!request_server(up ? "start" : "kill")) {
        return ::testing::AssertionFailure() << "db-server.sh failed";
    }
    if (!wait_until([up] { return static_cast<bool>(*connect_configured()) == up; },
                    std::chrono::seconds(60))) {
        return ::testing::AssertionFailure() << "logins do not " << (up ? "work" : "fail");
    }
    return ::testing::AssertionSuccess();
}

// Base of every test that needs the server. Without a server, the test is skipped with a reason,
// or fails in continuous integration (CI=true), where the server must run. A test that kills the
// server leaves it running again, whatever its outcome.
class DatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Initialised once, on the main thread before any test connects (as the daemon does
        // before its workers start), and released at exit.
        static const sql_client::ClientLibrary library;
        ASSERT_TRUE(library.ok()) << "mysql_library_init failed";
        const auto probe = connect_configured();
        if (*probe) return;
        const std::string reason =
            "no database server accepts " + std::string(sql_client::settings::kUser) + "@" +
            sql_client::settings::host() + " (error " + std::to_string(error_number(*probe)) +
            "); start one with tools/db-server.sh start";
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") FAIL() << reason;
        GTEST_SKIP() << reason;
    }
    void TearDown() override {
        if (!IsSkipped() && !*connect_configured()) {
            EXPECT_TRUE(set_server_up(true));
        }
    }
};

}  // namespace brix_test
