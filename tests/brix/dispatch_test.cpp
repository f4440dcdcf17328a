// dispatch_request of both daemon builds, on the real database server, a real cgilet library and a
// real loopback connection: which operation of the cgilet runs, on which database, how the
// connection is left for the next request and, in brix, the trace lines (brixsvc writes none).
// Built twice: with BRIX_TEST_SERVICE_FLAVOUR 0 against brix_core, with 1 against brix_core_svc.
#include "brix/dispatch.h"

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "brix/cgi_context.h"
#include "brix/request_line.h"
#include "net_tools/socket_ops.h"
#include "net_tools/tcp_server.h"
#include "sql_client/database_settings.h"
#include "tests/sql_client/test_database.h"

namespace {

namespace ops = net_tools::socket_ops;
using brix_test::current_database;
using sql_client::Connection;

constexpr bool kService = BRIX_TEST_SERVICE_FLAVOUR != 0;

// The trace lines brix writes for a request; brixsvc writes none.
std::vector<std::string> brix_trace(std::vector<std::string> lines) {
    if (kService) return {};
    return lines;
}

// Everything written to std::cout, where trace lines go, while the object lives.
class CapturedOutput {
  public:
    CapturedOutput() : saved(std::cout.rdbuf(text.rdbuf())) {}
    ~CapturedOutput() { std::cout.rdbuf(saved); }

    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::istringstream in(text.str());
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }

  private:
    std::ostringstream text;
    std::streambuf* saved;
};

struct Served {
    std::string response;
    std::vector<std::string> trace;
};

// One request for `entry`, as a worker serves it: the request line decoded into form data, the
// server end of a fresh loopback connection as the stream, the worker's `connection` (or null).
// Returns what the cgilet sent and the trace lines of the dispatch.
Served serve(brix::CGIContext& entry, Connection* connection, const std::string& line = "") {
    Served served;
    net_tools::tcp_server server("127.0.0.1", 0);
    EXPECT_TRUE(server.listening()) << server.error_text();
    const int peer = ops::create_tcp();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = ops::ipv4_from_text("127.0.0.1");
    address.sin_port = htons(static_cast<unsigned short>(server.local_port()));
    EXPECT_EQ(ops::connect(peer, address), 0) << ops::error_text(ops::last_error());
    {
        net_tools::tcp_stream stream(server.accept());
        brix::FormData form;
        brix::parse_request_line("cgilet=" + entry.name + "&" + line, form);
        CapturedOutput output;
        brix::DatabaseLink link(connection, connection != nullptr);
        brix::dispatch_request(entry, link, stream, form);
        served.trace = output.lines();
    }  // the stream's end closes: the peer reads to the end of the response
    char byte = 0;
    while (ops::recv_byte(peer, &byte) == 1) served.response += byte;
    ops::close(peer);
    return served;
}

// Catalog entries on the "dbname" test cgilet, which answers "database=<current database>" from
// process and "database=none" from process_without_database.
struct Entries {
    brix::CGIContext other{"dbname", TEST_CGILETS, "make_dbname", brix_test::kOtherDatabase};
    brix::CGIContext none{"dbnone", TEST_CGILETS, "make_dbname", "none"};
    brix::CGIContext missing{"dbmissing", TEST_CGILETS, "make_dbname", "brix_no_such_database"};
};

class Dispatch : public brix_test::DatabaseTest {
  protected:
    void SetUp() override {
        DatabaseTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        ASSERT_TRUE(entries.other.usable()) << entries.other.failure_text();
        connection = brix_test::connect_configured();
        ASSERT_TRUE(*connection);
    }

    // Leaves a failed query on the connection, as a cgilet's request may.
    void fail_a_query() {
        ASSERT_EQ(serve(entries.other, connection.get(), "fail=1").response,
                  "database=" + std::string(brix_test::kOtherDatabase) + "\n");
        ASSERT_FALSE(*connection) << "the failed query left no error";
    }

    // A connection whose login fails, and so does every reconnect.
    static std::unique_ptr<Connection> refused_connection() {
        namespace settings = sql_client::settings;
        return std::make_unique<Connection>(settings::host(), settings::kUser, "not the password",
                                            settings::kDatabase);
    }

    Entries entries;
    std::unique_ptr<Connection> connection;
};

}  // namespace

TEST(DispatchWithoutConnection, CallsProcessWithoutDatabaseWhateverTheCatalog) {
    Entries entries;
    ASSERT_TRUE(entries.other.usable()) << entries.other.failure_text();
    for (brix::CGIContext* entry : {&entries.other, &entries.none}) {
        const Served served = serve(*entry, nullptr);
        EXPECT_EQ(served.response, "database=none\n") << entry->name;
        EXPECT_EQ(served.trace, brix_trace({"process request #5"})) << entry->name;
    }
}

TEST_F(Dispatch, HealthyConnectionSelectsTheCatalogAndCallsProcess) {
    const Served served = serve(entries.other, connection.get());
    EXPECT_EQ(served.response, "database=test2\n");
    EXPECT_EQ(served.trace, brix_trace({"process request #1"}));
    EXPECT_TRUE(*connection);
}

TEST_F(Dispatch, HealthyConnectionAndNoneCallsProcessWithoutDatabaseAndSelectsNothing) {
    const Served served = serve(entries.none, connection.get());
    EXPECT_EQ(served.response, "database=none\n");
    EXPECT_EQ(served.trace, brix_trace({"process request #4"}));
    EXPECT_EQ(current_database(*connection), "test");
}

TEST_F(Dispatch, ACatalogThatCannotBeSelected) {
    const Served served = serve(entries.missing, connection.get());
    // brix: the failed selection makes the connection unhealthy, so it reconnects (back on
    // "test"), fails to select once more and still calls process. brixsvc: the connection was
    // healthy, so process is called after the failed selection, on the database it was on.
    EXPECT_EQ(served.response, "database=test\n");
    EXPECT_EQ(served.trace, brix_trace({"reconnect...", "process request #2"}));
}

TEST_F(Dispatch, AFailedQueryOfThePreviousRequestThenACatalog) {
    ASSERT_NO_FATAL_FAILURE(fail_a_query());
    const Served served = serve(entries.other, connection.get());
    if (kService) {
        // Unhealthy: reconnected, and process runs on the database the connection was made
        // with, without the entry's catalog being selected.
        EXPECT_EQ(served.response, "database=test\n");
    } else {
        // The selection comes before the health test and clears the error of the old query.
        EXPECT_EQ(served.response, "database=test2\n");
    }
    EXPECT_EQ(served.trace, brix_trace({"process request #1"}));
    EXPECT_TRUE(*connection);
}

TEST_F(Dispatch, AFailedQueryOfThePreviousRequestThenNone) {
    ASSERT_NO_FATAL_FAILURE(fail_a_query());
    const Served served = serve(entries.none, connection.get());
    EXPECT_EQ(served.response, "database=none\n");
    EXPECT_EQ(served.trace, brix_trace({"reconnect...", "process request #3"}));
    if (kService) {
        // No reconnect for a cgilet without a database: the next request still sees the error.
        EXPECT_FALSE(*connection);
    } else {
        EXPECT_EQ(current_database(*connection), "test") << "reconnected";
    }
}

TEST_F(Dispatch, AReconnectThatFailsWithACatalog) {
    const auto refused = refused_connection();
    ASSERT_FALSE(*refused);
    const Served served = serve(entries.other, refused.get());
    if (kService) {
        EXPECT_EQ(served.response, "database=none\n");
    } else {
        // The health is not tested again: process gets the connection that failed to come back,
        // and the cgilet's query fails on it.
        EXPECT_EQ(served.response.rfind("database=error ", 0), 0u) << served.response;
    }
    EXPECT_EQ(served.trace, brix_trace({"reconnect...", "process request #2"}));
    EXPECT_FALSE(*refused);
}

TEST_F(Dispatch, AReconnectThatFailsWithNone) {
    const auto refused = refused_connection();
    const Served served = serve(entries.none, refused.get());
    EXPECT_EQ(served.response, "database=none\n");
    EXPECT_EQ(served.trace, brix_trace({"reconnect...", "process request #3"}));
}
