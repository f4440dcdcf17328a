#include "tests/sql_client/test_database.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "sql_client/client_library.h"
#include "sql_client/database_settings.h"
#include "tests/sql_client/server_control.h"
#include "tests/support/wait_until.h"

namespace brix_test {

namespace settings = sql_client::settings;

std::unique_ptr<sql_client::Connection> connect_configured() {
    return std::make_unique<sql_client::Connection>(settings::host(), settings::kUser,
                                                    settings::kPassword, settings::kDatabase);
}

bool server_accepts_login() { return static_cast<bool>(*connect_configured()); }

std::string current_database(sql_client::Connection& connection) {
    MYSQL* mysql = connection.handle();
    if (mysql == nullptr) return "<closed>";
    if (mysql_query(mysql, "SELECT DATABASE()") != 0) {
        return "<error " + std::to_string(mysql_errno(mysql)) + ">";
    }
    MYSQL_RES* result = mysql_store_result(mysql);
    if (result == nullptr) return "<error " + std::to_string(mysql_errno(mysql)) + ">";
    MYSQL_ROW row = mysql_fetch_row(result);
    std::string name = row != nullptr && row[0] != nullptr ? row[0] : "<null>";
    mysql_free_result(result);
    return name;
}

unsigned error_number(const sql_client::Connection& connection) {
    return connection.handle() != nullptr ? mysql_errno(connection.handle()) : 0;
}

::testing::AssertionResult kill_server() {
    if (!request_server("kill")) return ::testing::AssertionFailure() << "db-server.sh kill failed";
    if (!wait_until([] { return !server_accepts_login(); }, std::chrono::seconds(30))) {
        return ::testing::AssertionFailure() << "the server still accepts logins after kill";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult start_server() {
    if (!request_server("start")) {
        return ::testing::AssertionFailure() << "db-server.sh start failed";
    }
    if (!wait_until([] { return server_accepts_login(); }, std::chrono::seconds(60))) {
        return ::testing::AssertionFailure() << "no login works after start";
    }
    return ::testing::AssertionSuccess();
}

void DatabaseTest::SetUp() {
    if (server_accepts_login()) return;
    auto probe = connect_configured();
    const std::string reason = "no database server accepts " + std::string(settings::kUser) + "@" +
                               settings::host() + " (error " +
                               std::to_string(error_number(*probe)) +
                               "); start one with tools/db-server.sh start";
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::strcmp(ci, "true") == 0) {
        FAIL() << reason;
    }
    GTEST_SKIP() << reason;
}

namespace {

// The client library is initialised once for the whole test program, before any test makes a
// connection, as the daemon does before its workers start.
class ClientLibraryEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        library = std::make_unique<sql_client::ClientLibrary>();
        ASSERT_TRUE(library->ok()) << "mysql_library_init failed";
    }
    void TearDown() override { library.reset(); }

  private:
    std::unique_ptr<sql_client::ClientLibrary> library;
};

::testing::Environment* const client_library_environment =
    ::testing::AddGlobalTestEnvironment(new ClientLibraryEnvironment);

}  // namespace

}  // namespace brix_test
