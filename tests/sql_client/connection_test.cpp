// sql_client::Connection against the real test server. Built twice, once per flavour of the
// library: BRIX_TEST_RECONNECT_IN_PLACE is 1 for the `brixsvc` flavour, whose reconnect keeps its
// handle, and 0 for the `brix` flavour, whose reconnect makes a new one.
#include "sql_client/connection.h"

#include <errmsg.h>
#include <mysqld_error.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "sql_client/database_settings.h"
#include "tests/sql_client/test_database.h"

namespace {

using brix_test::connect_configured;
using brix_test::current_database;
using brix_test::error_number;
using brix_test::kOtherDatabase;
using sql_client::Connection;
namespace settings = sql_client::settings;

constexpr bool kReconnectInPlace = BRIX_TEST_RECONNECT_IN_PLACE != 0;

// After reconnect the handle is the same one in `brixsvc` and may be a new one in `brix`.
void expect_handle_kept_in_place(MYSQL* before, const Connection& connection) {
    if (kReconnectInPlace) {
        EXPECT_EQ(before, connection.handle());
    }
    EXPECT_NE(nullptr, connection.handle());
}

using ConnectionTest = brix_test::DatabaseTest;

TEST_F(ConnectionTest, ConnectsToTheDatabaseGivenAtConstruction) {
    auto connection = connect_configured();
    ASSERT_TRUE(*connection) << mysql_error(connection->handle());
    EXPECT_EQ(settings::kDatabase, current_database(*connection));
}

TEST_F(ConnectionTest, SelectsCatalogsAndFailsOnAMissingOneUntilReconnect) {
    auto connection = connect_configured();
    connection->set_catalog(kOtherDatabase);
    EXPECT_TRUE(*connection);
    EXPECT_EQ(kOtherDatabase, current_database(*connection));

    connection->set_catalog("brix_no_such_database");
    EXPECT_FALSE(*connection);
    EXPECT_EQ(static_cast<unsigned>(ER_BAD_DB_ERROR), error_number(*connection));

    // A live session with a stale error: reconnect ends healthy, on the initial database.
    MYSQL* before = connection->handle();
    connection->reconnect();
    EXPECT_TRUE(*connection) << mysql_error(connection->handle());
    EXPECT_EQ(settings::kDatabase, current_database(*connection));
    expect_handle_kept_in_place(before, *connection);
}

TEST_F(ConnectionTest, QueryErrorOnTheHandleTurnsFalseUntilTheNextGoodCall) {
    auto connection = connect_configured();
    ASSERT_NE(0, mysql_query(connection->handle(), "SELECT * FROM brix_no_such_table"));
    EXPECT_FALSE(*connection);
    EXPECT_EQ(static_cast<unsigned>(ER_NO_SUCH_TABLE), error_number(*connection));

    connection->set_catalog(kOtherDatabase);
    EXPECT_TRUE(*connection);
}

// Reconnecting a live session over and over must neither fail nor leak (the sanitizer build
// checks the leak at exit).
TEST_F(ConnectionTest, RepeatedReconnectsOfALiveSessionStayHealthy) {
    auto connection = connect_configured();
    for (int i = 0; i < 20; ++i) {
        ASSERT_NE(0, mysql_query(connection->handle(), "NOT SQL"));
        ASSERT_FALSE(*connection);
        connection->reconnect();
        ASSERT_TRUE(*connection) << "round " << i << ": " << mysql_error(connection->handle());
    }
    EXPECT_EQ(settings::kDatabase, current_database(*connection));
}

TEST_F(ConnectionTest, ClosedConnectionTestsFalseAndIgnoresCatalogsAndSecondClose) {
    auto connection = connect_configured();
    connection->close();
    EXPECT_EQ(nullptr, connection->handle());
    EXPECT_FALSE(*connection);
    connection->set_catalog(kOtherDatabase);  // must not reach the library with a null handle
    EXPECT_FALSE(*connection);
    connection->close();
    EXPECT_EQ(nullptr, connection->handle());
    // The destructor after close releases nothing more.
}

TEST_F(ConnectionTest, ReconnectAfterCloseConnectsAgain) {
    auto connection = connect_configured();
    connection->close();
    connection->reconnect();
    ASSERT_NE(nullptr, connection->handle());
    EXPECT_TRUE(*connection) << mysql_error(connection->handle());
    EXPECT_EQ(settings::kDatabase, current_database(*connection));
}

TEST_F(ConnectionTest, WrongPasswordTestsFalse) {
    Connection connection(settings::host(), settings::kUser, "brix-wrong-password",
                          settings::kDatabase);
    EXPECT_FALSE(connection);
    EXPECT_EQ(static_cast<unsigned>(ER_ACCESS_DENIED_ERROR), error_number(connection));
}

// The ten workers of the daemon connect at the same moment when they start.
TEST_F(ConnectionTest, TenThreadsConnectAtOnce) {
    constexpr int kThreads = 10;
    std::mutex mutex;
    std::condition_variable gate;
    bool open = false;
    std::vector<std::string> databases(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            {
                std::unique_lock<std::mutex> lock(mutex);
                gate.wait(lock, [&] { return open; });
            }
            auto connection = connect_configured();
            databases[i] = *connection
                               ? current_database(*connection)
                               : "<error " + std::to_string(error_number(*connection)) + ">";
        });
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
    }
    gate.notify_all();
    for (auto& thread : threads) thread.join();
    for (int i = 0; i < kThreads; ++i)
        EXPECT_EQ(settings::kDatabase, databases[i]) << "thread " << i;
}

// Kills and starts the server: runs alone (ctest RESOURCE_LOCK) and leaves the server running
// again if it stopped it, whatever the outcome.
class ConnectionRestartTest : public brix_test::DatabaseTest {
  protected:
    ::testing::AssertionResult kill_server() {
        server_killed = true;
        return brix_test::kill_server();
    }
    void TearDown() override {
        if (server_killed && !brix_test::server_accepts_login()) {
            EXPECT_TRUE(brix_test::start_server());
        }
    }

  private:
    bool server_killed = false;
};

bool is_server_lost(unsigned error) {
    return error == CR_SERVER_LOST || error == CR_SERVER_GONE_ERROR;
}

bool is_server_unreachable(unsigned error) {
    return error == CR_CONNECTION_ERROR || error == CR_CONN_HOST_ERROR;
}

TEST_F(ConnectionRestartTest, RecoversFromAServerKilledAndRestartedUnderLiveConnections) {
    // One connection will notice the loss through a failed call before reconnecting; the other
    // reconnects without any call having failed on it since the server went away.
    auto noticed = connect_configured();
    auto unnoticed = connect_configured();
    noticed->set_catalog(kOtherDatabase);
    unnoticed->set_catalog(kOtherDatabase);
    ASSERT_TRUE(*noticed);
    ASSERT_TRUE(*unnoticed);

    ASSERT_TRUE(kill_server());

    {
        auto never = connect_configured();  // made while the server is down, then destroyed
        EXPECT_FALSE(*never);
        EXPECT_TRUE(is_server_unreachable(error_number(*never))) << error_number(*never);
    }
    auto made_while_down = connect_configured();
    EXPECT_FALSE(*made_while_down);

    noticed->set_catalog(settings::kDatabase);
    EXPECT_FALSE(*noticed);
    EXPECT_TRUE(is_server_lost(error_number(*noticed))) << error_number(*noticed);

    // Reconnecting while the server is still down fails and leaves the connection false.
    noticed->reconnect();
    EXPECT_FALSE(*noticed);

    ASSERT_TRUE(brix_test::start_server());

    for (Connection* connection : {noticed.get(), unnoticed.get(), made_while_down.get()}) {
        MYSQL* before = connection->handle();
        connection->reconnect();
        EXPECT_TRUE(*connection) << mysql_error(connection->handle());
        EXPECT_EQ(settings::kDatabase, current_database(*connection));
        expect_handle_kept_in_place(before, *connection);
    }
}

}  // namespace
