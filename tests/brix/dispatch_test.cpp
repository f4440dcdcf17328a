// dispatch_request of both daemon builds, on the real database server, a real cgilet library and a
// real loopback connection: which operation of the cgilet runs, on which database, how the
// connection is left for the next request and, in brix, the trace lines (brixsvc writes none).
// Built twice: with BRIX_TEST_SERVICE_FLAVOUR 0 against brix_core, with 1 against brix_core_svc.
#include "brix/dispatch.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "brix/cgi_context.h"
#include "brix/request_line.h"
#include "net_tools/tcp_server.h"
#include "sql_client/database_settings.h"
#include "tests/sql_client/test_database.h"

namespace {

using sql_client::Connection;
namespace settings = sql_client::settings;
constexpr bool kService = BRIX_TEST_SERVICE_FLAVOUR != 0;

struct Served {
    std::string response;
    std::string trace;  // brix's trace lines, each ended by "|"
};

// One request for `entry`, as a worker serves it, on the server end of a fresh loopback
// connection, with the worker's `connection` (or null).
Served serve(brix::CGIContext& entry, Connection* connection, const std::string& fields = "") {
    net_tools::tcp_server server("127.0.0.1", 0);
    net_tools::tcp_stream peer("127.0.0.1", server.local_port());
    std::string trace;
    {
        net_tools::tcp_stream stream(server.accept());
        brix::FormData form;
        brix::parse_request_line("cgilet=" + entry.name + "&" + fields, form);
        testing::internal::CaptureStdout();
        brix::DatabaseLink link(connection, connection != nullptr);
        brix::dispatch_request(entry, link, stream, form);
        trace = testing::internal::GetCapturedStdout();
    }  // the stream closes: the peer reads to the end of the response
    Served served{"", trace};
    for (char c = peer.get(); peer; c = peer.get()) served.response += c;
    for (char& c : served.trace) c = c == '\n' ? '|' : c;
    return served;
}

using Dispatch = brix_test::DatabaseTest;

}  // namespace

TEST_F(Dispatch, PicksTheOperationAndDatabaseByConnectionStateAndCatalog) {
    // The "dbname" test cgilet answers "database=<current database>" from process, "database=none"
    // from process_without_database, and with fail=1 leaves a failed query on the connection.
    brix::CGIContext other{"dbname", TEST_CGILETS, "make_dbname", brix_test::kOtherDatabase};
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
        if (c.before == kRefused) {  // its login fails, and so does every reconnect
            connection = std::make_unique<Connection>(settings::host(), settings::kUser,
                                                      "not the password", settings::kDatabase);
        } else if (c.before != kNoConnection) {
            connection = brix_test::connect_configured();
        }
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
            *connection ? brix_test::current_database(*connection) : "unhealthy";
        EXPECT_EQ(after, kService ? c.svc_after : c.brix_after) << where;
    }
}

// A server that does not answer makes every connect attempt wait out a timeout: a failed attempt
// is not made again within a second, whichever way the worker asks.
TEST_F(Dispatch, AFailedConnectIsNotRetriedWithinASecond) {
    Connection refused(settings::host(), settings::kUser, "not the password", settings::kDatabase);
    const auto watcher = brix_test::connect_configured();
    const auto attempts = [&watcher] {
        return std::stoi(
            brix_test::select_value(*watcher,
                                    "VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
                                    "WHERE VARIABLE_NAME = 'CONNECTIONS'"));
    };
    const int before = attempts();
    brix::DatabaseLink connected(&refused, true), unconnected(&refused, false);
    for (int i = 0; i < 3; ++i) {
        connected.reconnect();
        EXPECT_EQ(unconnected.connection_for_database(), nullptr);
    }
    EXPECT_EQ(attempts() - before, 1);
}
