// sql_client::Connection against the real test server. Built twice, once per flavour of the
// library: BRIX_TEST_RECONNECT_IN_PLACE is 1 for the `brixsvc` flavour, whose reconnect keeps its
// handle, and 0 for the `brix` flavour, whose reconnect makes a new one.
#include "sql_client/connection.h"

#include "sql_client/database_settings.h"
#include "tests/sql_client/test_database.h"

namespace {

using brix_test::connect_configured;
using brix_test::current_database;
using brix_test::kOtherDatabase;
using sql_client::Connection;
namespace settings = sql_client::settings;
using ConnectionTest = brix_test::DatabaseTest;

void expect_reconnects(Connection& connection) {
    MYSQL* before = connection.handle();
    connection.reconnect();
    EXPECT_TRUE(connection) << mysql_error(connection.handle());
    EXPECT_EQ(settings::kDatabase, current_database(connection));
    if (BRIX_TEST_RECONNECT_IN_PLACE != 0 && before != nullptr) {
        EXPECT_EQ(before, connection.handle());
    }
}

TEST_F(ConnectionTest, ReconnectMendsEveryFailureAndAServerRestart) {
    auto connection = connect_configured();
    connection->set_catalog(kOtherDatabase);  // a reconnect returns to the configured database
    // Reconnecting a live session over and over neither fails nor leaks (the sanitizer build
    // checks the leak at exit).
    for (int i = 0; i < 5; ++i) {
        ASSERT_NE(0, mysql_query(connection->handle(), "NOT SQL"));
        EXPECT_FALSE(*connection);
        expect_reconnects(*connection);
    }
    connection->close();
    EXPECT_FALSE(*connection);
    connection->set_catalog(kOtherDatabase);  // must not reach the library with a null handle
    connection->close();
    EXPECT_EQ(nullptr, connection->handle());
    expect_reconnects(*connection);

    // One connection notices the loss through a failed call before reconnecting; one reconnects
    // with no call failed since the server went away; one was inside a transaction, where the
    // library declines to reconnect the first time it is asked.
    auto noticed = connect_configured();
    auto unnoticed = connect_configured();
    auto in_transaction = connect_configured();
    ASSERT_EQ(0, mysql_query(in_transaction->handle(), "START TRANSACTION"));
    ASSERT_TRUE(brix_test::set_server_up(false));
    auto made_while_down = connect_configured();
    EXPECT_FALSE(*made_while_down);
    noticed->set_catalog(settings::kDatabase);
    EXPECT_FALSE(*noticed);
    noticed->reconnect();  // the server is still down
    EXPECT_FALSE(*noticed);

    ASSERT_TRUE(brix_test::set_server_up(true));
    for (Connection* connection :
         {noticed.get(), unnoticed.get(), in_transaction.get(), made_while_down.get()}) {
        expect_reconnects(*connection);
    }
}

}  // namespace
