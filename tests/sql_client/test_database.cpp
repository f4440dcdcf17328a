#include "tests/sql_client/test_database.h"

#include <chrono>
#include <cstdlib>

#include "sql_client/client_library.h"
#include "sql_client/database_settings.h"
#include "tests/support/wait_until.h"

namespace brix_test {

namespace settings = sql_client::settings;

std::unique_ptr<sql_client::Connection> connect_configured() {
    return std::make_unique<sql_client::Connection>(settings::host(), settings::kUser,
                                                    settings::kPassword, settings::kDatabase);
}

std::string current_database(sql_client::Connection& connection) {
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

unsigned error_number(const sql_client::Connection& connection) {
    return connection.handle() != nullptr ? mysql_errno(connection.handle()) : 0;
}

::testing::AssertionResult set_server_up(bool up) {
    if (!request_server(up ? "start" : "kill")) {
        return ::testing::AssertionFailure() << "db-server.sh failed";
    }
    if (!wait_until([up] { return static_cast<bool>(*connect_configured()) == up; },
                    std::chrono::seconds(60))) {
        return ::testing::AssertionFailure() << "logins do not " << (up ? "work" : "fail");
    }
    return ::testing::AssertionSuccess();
}

void DatabaseTest::SetUp() {
    // Initialised once, on the main thread before any test connects (as the daemon does before
    // its workers start), and released at exit.
    static const sql_client::ClientLibrary library;
    ASSERT_TRUE(library.ok()) << "mysql_library_init failed";
    const auto probe = connect_configured();
    if (*probe) return;
    const std::string reason = "no database server accepts " + std::string(settings::kUser) + "@" +
                               settings::host() + " (error " +
                               std::to_string(error_number(*probe)) +
                               "); start one with tools/db-server.sh start";
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string(ci) == "true") FAIL() << reason;
    GTEST_SKIP() << reason;
}

void DatabaseTest::TearDown() {
    if (!IsSkipped() && !*connect_configured()) {
        EXPECT_TRUE(set_server_up(true));
    }
}

}  // namespace brix_test
