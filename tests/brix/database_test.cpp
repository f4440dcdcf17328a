// Both daemon builds against the real test server (tools/db-server.sh, databases "test" and
// "test2"): sql_client::Connection's reconnects, and dispatch_request with a real cgilet library
// on a real loopback connection: which operation of the cgilet runs, on which database, how the
// connection is left for the next request and, in brix, the trace lines (brixsvc writes none).
// Built twice: BRIX_TEST_SERVICE_FLAVOUR 0 against brix_core, 1 against brix_core_svc, whose
// connection reconnects in place. Without a server the tests skip, except in continuous
// integration (CI=true), where they fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "brix/cgi_context.h"
#include "brix/dispatch.h"
#include "brix/request_line.h"
#include "net_tools/tcp_server.h"
#include "sql_client/client_library.h"
#include "sql_client/database_settings.h"
#include "tests/support/wait_until.h"

namespace brix_test {
// Runs tools/db-server.sh with `verb`: on POSIX until it has finished (true on success); under
// Wine, which cannot wait for a Unix program, only until it is on its way.
bool request_server(const std::string& verb);
}  // namespace brix_test

namespace {

using sql_client::Connection;
namespace settings = sql_client::settings;
constexpr bool kService = BRIX_TEST_SERVICE_FLAVOUR != 0;

std::unique_ptr<Connection> connect(const char* password = settings::kPassword) {
    return std::make_unique<Connection>(settings::host(), settings::kUser, password,
                                        settings::kDatabase);
}

// The first value "SELECT `what`" gives on the connection, or "<error>".
std::string select_value(Connection& connection, const std::string& what) {
    MYSQL* mysql = connection.handle();
    MYSQL_RES* result = nullptr;
    if (mysql == nullptr || mysql_query(mysql, ("SELECT " + what).c_str()) != 0 ||
        (result = mysql_store_result(mysql)) == nullptr)
        return "<error>";
    MYSQL_ROW row = mysql_fetch_row(result);
    std::string value = row != nullptr && row[0] != nullptr ? row[0] : "<null>";
    mysql_free_result(result);
    return value;
}

// Kills the server (a crash) or starts it, and waits until logins fail or work.
bool set_server_up(bool up) {
    return brix_test::request_server(up ? "start" : "kill") &&
           brix_test::wait_until([up] { return static_cast<bool>(*connect()) == up; },
                                 std::chrono::seconds(60));
}

class Database : public testing::Test {
  protected:
    void SetUp() override {
        static const sql_client::ClientLibrary library;  // before any connection, as the daemon
        ASSERT_TRUE(library.ok());
        if (*connect()) return;
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") FAIL() << "no database server";
        GTEST_SKIP() << "no database server; start one with tools/db-server.sh start";
    }
    void TearDown() override { EXPECT_TRUE(IsSkipped() || *connect() || set_server_up(true)); }
};

// Reconnects `connection` and expects it healthy on the configured database.
void expect_reconnects(Connection& connection) {
    connection.reconnect();
    EXPECT_TRUE(connection) << mysql_error(connection.handle());
    EXPECT_EQ(select_value(connection, "DATABASE()"), settings::kDatabase);
}

struct Served {
    std::string response;
    std::string trace;  // brix's trace lines, each ended by "|"
};

// One request for `entry`, as a worker serves it, on the server end of a fresh loopback
// connection, with the worker's `connection` (or null).
Served serve(brix::CGIContext& entry, Connection* connection, const std::string& fields = "") {
    net_tools::tcp_server server("127.0.0.1", 0);
    net_tools::tcp_stream peer("127.0.0.1", server.local_port());
    Served served;
    {
        net_tools::tcp_stream stream(server.accept());
        brix::FormData form;
        brix::parse_request_line("cgilet=" + entry.name + "&" + fields, form);
        testing::internal::CaptureStdout();
        brix::DatabaseLink link(connection, connection != nullptr);
        brix::dispatch_request(entry, link, stream, form);
        served.trace = testing::internal::GetCapturedStdout();
    }  // the stream closes: the peer reads to the end of the response
    for (char c = peer.get(); peer; c = peer.get()) served.response += c;
    for (char& c : served.trace) c = c == '\n' ? '|' : c;
    return served;
}

}  // namespace

TEST_F(Database, ReconnectMendsEveryFailureAndAServerRestart) {
    auto connection = connect();
    connection->set_catalog("test2");  // a reconnect returns to the configured database
    // Over and over on a live session: neither fails nor leaks (the sanitizer build checks).
    // brixsvc keeps the live session, brix starts a new one.
    for (int i = 0; i < 5; ++i) {
        const std::string session = select_value(*connection, "CONNECTION_ID()");
        ASSERT_NE(0, mysql_query(connection->handle(), "NOT SQL"));
        EXPECT_FALSE(*connection);
        expect_reconnects(*connection);
        EXPECT_EQ(select_value(*connection, "CONNECTION_ID()") == session, kService);
    }
    connection->close();
    EXPECT_FALSE(*connection);
    connection->set_catalog("test2");  // must not reach the library with a null handle
    connection->close();
    EXPECT_EQ(nullptr, connection->handle());
    expect_reconnects(*connection);

    // One connection notices the loss through a failed call before reconnecting; one reconnects
    // with no call failed since the server went away; one was inside a transaction, where the
    // library declines to reconnect the first time it is asked.
    auto noticed = connect(), unnoticed = connect(), in_transaction = connect();
    ASSERT_EQ(0, mysql_query(in_transaction->handle(), "START TRANSACTION"));
    ASSERT_TRUE(set_server_up(false));
    auto made_while_down = connect();
    EXPECT_FALSE(*made_while_down);
    noticed->set_catalog(settings::kDatabase);
    EXPECT_FALSE(*noticed);
    noticed->reconnect();  // the server is still down
    EXPECT_FALSE(*noticed);
    ASSERT_TRUE(set_server_up(true));
    for (Connection* c :
         {noticed.get(), unnoticed.get(), in_transaction.get(), made_while_down.get()})
        expect_reconnects(*c);
}

TEST_F(Database, DispatchPicksTheOperationAndDatabaseByConnectionStateAndCatalog) {
    // The "dbname" test cgilet answers "database=<current database>" from process, "database=none"
    // from process_without_database, and with fail=1 leaves a failed query on the connection.
    brix::CGIContext other{"dbname", TEST_CGILETS, "make_dbname", "test2"};
    brix::CGIContext none{"dbnone", TEST_CGILETS, "make_dbname", "none"};
    brix::CGIContext missing{"dbmissing", TEST_CGILETS, "make_dbname", "brix_no_such_database"};
    ASSERT_TRUE(other.usable()) << other.failure_text();
    enum Before { kNoConnection, kHealthy, kOnOther, kFailedQuery, kRefused };
    // Per build: the beginning of the response, then the connection's state for the next request.
    struct Case {
        Before before;
        brix::CGIContext* entry;
        std::string brix_trace, brix_response, brix_after, svc_response, svc_after;
    };
    const std::string none_response = "database=none\n";
    const Case cases[] = {
        {kNoConnection, &other, "process request #5|", none_response, "", none_response, ""},
        {kNoConnection, &none, "process request #5|", none_response, "", none_response, ""},
        {kHealthy, &other, "process request #1|", "database=test2\n", "test2", "database=test2\n",
         "test2"},
        {kHealthy, &none, "process request #4|", none_response, "test", none_response, "test"},
        // After a request on "test2": brix reconnects after the failed selection and calls
        // process on the database a connection starts on; brixsvc on the one it was on.
        {kOnOther, &missing, "reconnect...|process request #2|", "database=test\n", "test",
         "database=test2\n", "test2"},
        // brix selects before its health test, which clears the old error; brixsvc reconnects
        // and selects nothing.
        {kFailedQuery, &other, "process request #1|", "database=test2\n", "test2",
         "database=test\n", "test"},
        // brix reconnects, then selects "none", which fails; brixsvc does not reconnect for a
        // cgilet without a database.
        {kFailedQuery, &none, "reconnect...|process request #3|", none_response, "unhealthy",
         none_response, "unhealthy"},
        // A reconnect that fails: brix calls process anyway, brixsvc the operation without one.
        {kRefused, &other, "reconnect...|process request #2|", "database=error ", "unhealthy",
         none_response, "unhealthy"},
        {kRefused, &none, "reconnect...|process request #3|", none_response, "unhealthy",
         none_response, "unhealthy"},
    };
    for (const Case& c : cases) {
        const std::string where = c.entry->name + " after state " + std::to_string(c.before);
        std::unique_ptr<Connection> connection;
        if (c.before == kRefused) connection = connect("not the password");  // and every reconnect
        if (c.before != kNoConnection && c.before != kRefused) connection = connect();
        if (c.before == kOnOther) serve(other, connection.get());
        if (c.before == kFailedQuery) {
            ASSERT_EQ(serve(other, connection.get(), "fail=1").response, "database=test2\n");
            ASSERT_FALSE(*connection) << "the failed query left no error";
        }
        const Served served = serve(*c.entry, connection.get());
        const std::string& response = kService ? c.svc_response : c.brix_response;
        EXPECT_EQ(served.response.rfind(response, 0), 0u) << where << ": " << served.response;
        EXPECT_EQ(served.trace, kService ? "" : c.brix_trace) << where;
        if (!connection) continue;
        const std::string after =
            *connection ? select_value(*connection, "DATABASE()") : "unhealthy";
        EXPECT_EQ(after, kService ? c.svc_after : c.brix_after) << where;
    }
}

// A server that does not answer makes every connect attempt wait out a timeout: a failed attempt
// is not made again within a second, whichever way the worker asks.
TEST_F(Database, AFailedConnectIsNotRetriedWithinASecond) {
    const auto refused = connect("not the password"), watcher = connect();
    const auto attempts = [&watcher] {
        return std::stoi(select_value(*watcher,
                                      "VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
                                      "WHERE VARIABLE_NAME = 'CONNECTIONS'"));
    };
    const int before = attempts();
    brix::DatabaseLink connected(refused.get(), true), unconnected(refused.get(), false);
    for (int i = 0; i < 3; ++i) {
        connected.reconnect();
        EXPECT_EQ(unconnected.connection_for_database(), nullptr);
    }
    EXPECT_EQ(attempts() - before, 1);
}
