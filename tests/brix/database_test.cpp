// Connection, DatabaseLink and dispatch of both builds (BRIX_TEST_SERVICE_FLAVOUR 1: brixsvc) with
// the test server (tools/db-server.sh) and a real cgilet; without one they skip, except in CI.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <tuple>

#include "brix/cgi_context.h"
#include "brix/dispatch.h"
#include "net_tools/tcp_server.h"
#include "sql_client/client_library.h"
#include "sql_client/database_settings.h"
#include "tests/support/test_support.h"

namespace {

using sql_client::Connection;
namespace settings = sql_client::settings;
constexpr bool kService = BRIX_TEST_SERVICE_FLAVOUR != 0;

std::unique_ptr<Connection> connect(const char* password = settings::kPassword) {
    return std::make_unique<Connection>(settings::host(), settings::kUser, password,
                                        settings::kDatabase);
}

// The first value "SELECT `what`" gives, or "unhealthy" on a connection whose last call failed.
std::string select_value(Connection& connection, const std::string& what) {
    MYSQL* mysql = connection.handle();
    if (!connection || mysql_query(mysql, ("SELECT " + what).c_str()) != 0) return "unhealthy";
    std::unique_ptr<MYSQL_RES, void (*)(MYSQL_RES*)> result(mysql_store_result(mysql),
                                                            mysql_free_result);
    MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
    return row != nullptr && row[0] != nullptr ? row[0] : "<null>";
}

std::string reconnected(Connection& c) { return c.reconnect(), select_value(c, "DATABASE()"); }

// Kills the server (a crash) or starts it, and waits until logins fail or work.
bool set_server_up(bool up) {
    return std::system(up ? BRIX_DB_SERVER " start" : BRIX_DB_SERVER " kill") == 0 &&
           brix_test::wait_until([up] { return static_cast<bool>(*connect()) == up; },
                                 std::chrono::seconds(60));
}

struct Database : testing::Test {
    void SetUp() override {
        static const sql_client::ClientLibrary library;  // before any connection, as the daemon
        ASSERT_TRUE(library.ok());
        if (*connect()) return;
        ASSERT_STRNE(std::getenv("CI"), "true") << "no database server";
        GTEST_SKIP() << "no database server; start one with tools/db-server.sh start";
    }
    void TearDown() override { EXPECT_TRUE(IsSkipped() || *connect() || set_server_up(true)); }
};

// One request as a worker serves it with `connection`: the response, then the trace, in "|" lines.
std::string serve(brix::CGIContext& entry, Connection* connection, const std::string& fail = "") {
    net_tools::tcp_server server("127.0.0.1", 0);
    net_tools::tcp_stream peer("127.0.0.1", server.local_port());
    net_tools::tcp_stream stream(server.accept());
    brix::FormData form;
    form.put("fail", fail);
    testing::internal::CaptureStdout();
    brix::DatabaseLink link(connection, connection != nullptr);
    brix::dispatch_request(entry, link, stream, form);
    std::string response, trace = testing::internal::GetCapturedStdout();
    stream.close();  // the peer reads to the end of the response
    for (char c = peer.get(); peer; c = peer.get()) response += c;
    for (char& c : response += trace) c = c == '\n' ? '|' : c;
    return response;
}

}  // namespace

TEST_F(Database, ReconnectsMendEveryFailureAndAServerRestartAndAFailedOneWaitsASecond) {
    // A failed connect may have waited out a timeout: none again within a second, either way.
    const auto refused = connect("not the password"), watcher = connect();
    const std::string attempts =
        "VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'CONNECTIONS'";
    const int before = std::stoi(select_value(*watcher, attempts));
    brix::DatabaseLink connected(refused.get(), true), unconnected(refused.get(), false);
    for (int i = 0; i < 3; ++i) {
        connected.reconnect();
        EXPECT_EQ(unconnected.connection_for_database(), nullptr);
    }
    EXPECT_EQ(std::stoi(select_value(*watcher, attempts)) - before, 1);

    auto connection = connect();
    connection->set_catalog("test2");  // a reconnect returns to the configured database
    // Again and again: no failure, no leak (asan checks); only brixsvc keeps the session.
    for (int i = 0; i < 5; ++i) {
        const std::string session = select_value(*connection, "CONNECTION_ID()");
        mysql_query(connection->handle(), "NOT SQL");
        EXPECT_EQ(reconnected(*connection), settings::kDatabase);
        EXPECT_EQ(select_value(*connection, "CONNECTION_ID()") == session, kService);
    }
    connection->close();
    connection->set_catalog("test2");  // must not reach the library with a null handle
    connection->close();
    EXPECT_TRUE(!*connection && connection->handle() == nullptr);
    EXPECT_EQ(reconnected(*connection), settings::kDatabase);

    // Lost with a failed call, with none, inside a transaction (the library's first reconnect
    // declines there), and made while the server was down.
    auto noticed = connect(), unnoticed = connect(), in_transaction = connect();
    ASSERT_EQ(0, mysql_query(in_transaction->handle(), "START TRANSACTION"));
    ASSERT_TRUE(set_server_up(false));
    auto made_while_down = connect();
    noticed->set_catalog(settings::kDatabase);
    noticed->reconnect();  // the server is still down
    EXPECT_FALSE(*noticed);
    ASSERT_TRUE(set_server_up(true));
    for (Connection* c :
         {noticed.get(), unnoticed.get(), in_transaction.get(), made_while_down.get()})
        EXPECT_EQ(reconnected(*c), settings::kDatabase);
}

TEST_F(Database, DispatchPicksTheOperationAndDatabaseByConnectionStateAndCatalog) {
    // "dbname" answers "database=none" without a database; fail=1 leaves a failed query.
    brix::CGIContext other{"dbname", TEST_CGILETS, "make_dbname", "test2"};
    brix::CGIContext none{"dbnone", TEST_CGILETS, "make_dbname", "none"};
    brix::CGIContext missing{"dbmissing", TEST_CGILETS, "make_dbname", "brix_no_such_database"};
    enum Before { kNoConnection, kHealthy, kOnOther, kFailedQuery, kRefused };
    // Per build: the response, brix's trace, then the database the connection is left on.
    const std::tuple<Before, brix::CGIContext*, std::string, std::string> cases[] = {
        {kNoConnection, &other, "database=none|process request #5|", "database=none|"},
        {kNoConnection, &none, "database=none|process request #5|", "database=none|"},
        {kHealthy, &other, "database=test2|process request #1|test2", "database=test2|test2"},
        {kHealthy, &none, "database=none|process request #4|test", "database=none|test"},
        // After "test2": brix reconnects after the failed selection, brixsvc stays on "test2".
        {kOnOther, &missing, "database=test|reconnect...|process request #2|test",
         "database=test2|test2"},
        // brix selects first, which clears the old error; brixsvc reconnects and selects nothing.
        {kFailedQuery, &other, "database=test2|process request #1|test2", "database=test|test"},
        // brix reconnects, then selects "none", which fails; brixsvc leaves it for no database.
        {kFailedQuery, &none, "database=none|reconnect...|process request #3|unhealthy",
         "database=none|unhealthy"},
        // A reconnect that fails: brix calls process anyway, brixsvc the operation without one.
        {kRefused, &other, "database=error 2006|reconnect...|process request #2|unhealthy",
         "database=none|unhealthy"},
        {kRefused, &none, "database=none|reconnect...|process request #3|unhealthy",
         "database=none|unhealthy"},
    };
    for (const auto& [before, entry, in_brix, in_svc] : cases) {
        std::unique_ptr<Connection> connection;
        if (before != kNoConnection)
            connection = connect(before == kRefused ? "not the password" : settings::kPassword);
        if (before == kOnOther || before == kFailedQuery)
            serve(other, connection.get(), before == kFailedQuery ? "1" : "");
        std::string served = serve(*entry, connection.get());
        if (connection) served += select_value(*connection, "DATABASE()");
        EXPECT_EQ(served, kService ? in_svc : in_brix) << entry->name << " after " << before;
    }
}
