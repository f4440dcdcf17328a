// Test-only: the test database server (tools/db-server.sh, with the databases "test" and "test2")
// as the tests see it, through the daemon's own build-time credentials.
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

inline constexpr char kOtherDatabase[] = "test2";

inline std::unique_ptr<sql_client::Connection> connect_configured() {
    namespace settings = sql_client::settings;
    return std::make_unique<sql_client::Connection>(settings::host(), settings::kUser,
                                                    settings::kPassword, settings::kDatabase);
}

inline unsigned error_number(const sql_client::Connection& connection) {
    return connection.handle() != nullptr ? mysql_errno(connection.handle()) : 0;
}

// The first value "SELECT `what`" gives on the connection; "<error N>" on failure.
inline std::string select_value(sql_client::Connection& connection, const std::string& what) {
    MYSQL* mysql = connection.handle();
    MYSQL_RES* result = nullptr;
    if (mysql == nullptr || mysql_query(mysql, ("SELECT " + what).c_str()) != 0 ||
        (result = mysql_store_result(mysql)) == nullptr) {
        return "<error " + std::to_string(error_number(connection)) + ">";
    }
    MYSQL_ROW row = mysql_fetch_row(result);
    std::string value = row != nullptr && row[0] != nullptr ? row[0] : "<null>";
    mysql_free_result(result);
    return value;
}

inline std::string current_database(sql_client::Connection& connection) {
    return select_value(connection, "DATABASE()");
}

// Runs the server script with `verb`: on POSIX until it has finished (true on success); under
// Wine, which cannot wait for a Unix program, only until it is on its way.
bool request_server(const std::string& verb);

// Kills the server (a crash) or starts it, and waits until logins fail or work.
inline ::testing::AssertionResult set_server_up(bool up) {
    if (!request_server(up ? "start" : "kill") ||
        !wait_until([up] { return static_cast<bool>(*connect_configured()) == up; },
                    std::chrono::seconds(60))) {
        return ::testing::AssertionFailure() << "the server did not " << (up ? "start" : "stop");
    }
    return ::testing::AssertionSuccess();
}

// Base of every test that needs the server: skipped without one, except in continuous integration
// (CI=true), where it fails. A test that kills the server leaves it running again.
class DatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static const sql_client::ClientLibrary library;  // before any connection, as the daemon
        ASSERT_TRUE(library.ok()) << "mysql_library_init failed";
        const auto probe = connect_configured();
        if (*probe) return;
        const std::string reason = "no database server (error " +
                                   std::to_string(error_number(*probe)) +
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
