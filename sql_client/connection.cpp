#include "sql_client/connection.h"

#include <utility>
#include "net_tools/socket_ops.h"

// The two daemon builds compile this file with different reconnect behaviour; the
// `brixsvc` build defines BRIX_SQL_RECONNECT_IN_PLACE=1.
#ifndef BRIX_SQL_RECONNECT_IN_PLACE
#define BRIX_SQL_RECONNECT_IN_PLACE 0
#endif

namespace sql_client {

namespace {
constexpr bool kReconnectInPlace = BRIX_SQL_RECONNECT_IN_PLACE != 0;

// Sets the limits that are not 0 on a handle that has not connected yet (a null handle: none).
void set_timeouts(MYSQL* mysql, const Connection::Timeouts& timeouts) {
    if (mysql == nullptr) return;
    const std::pair<mysql_option, unsigned> limits[] = {
        {MYSQL_OPT_CONNECT_TIMEOUT, timeouts.connect},
        {MYSQL_OPT_READ_TIMEOUT, timeouts.read},
        {MYSQL_OPT_WRITE_TIMEOUT, timeouts.write}};
    for (const auto& limit : limits) {
        if (limit.second != 0) mysql_options(mysql, limit.first, &limit.second);
    }
}

// The limits set on a handle, so that a new handle can be given the same ones.
Connection::Timeouts timeouts_of(MYSQL* mysql) {
    Connection::Timeouts timeouts;
    if (mysql == nullptr) return timeouts;
    mysql_get_option(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeouts.connect);
    mysql_get_option(mysql, MYSQL_OPT_READ_TIMEOUT, &timeouts.read);
    mysql_get_option(mysql, MYSQL_OPT_WRITE_TIMEOUT, &timeouts.write);
    return timeouts;
}

// The library opens its socket inheritable; a process that a cgilet starts must not hold it.
void keep_socket_from_children(MYSQL* mysql) {
    const my_socket socket = mysql_get_socket(mysql);
    if (socket != static_cast<my_socket>(-1)) {
        net_tools::socket_ops::keep_from_children(static_cast<int>(socket));
    }
}
}  // namespace

Connection::Connection(const std::string& host, const std::string& user,
                       const std::string& password, const std::string& database)
    : Connection(host, user, password, database, Timeouts{}) {}

Connection::Connection(const std::string& host, const std::string& user,
                       const std::string& password, const std::string& database,
                       const Timeouts& timeouts)
    : host(host),
      user(user),
      password(password),
      database(database),
      mysql(mysql_init(nullptr)),
      connected(0) {
    set_timeouts(mysql, timeouts);
    connect_handle();
}

Connection::~Connection() {
    if (mysql != nullptr) mysql_close(mysql);
}

void Connection::connect_handle() {
    if (mysql == nullptr) {  // mysql_init found no memory
        connected = 0;
        return;
    }
    // A failed connect resets the handle's time limits to the library's defaults (none), and a
    // later connect on this handle, or on a new one given its limits, must keep them.
    const Timeouts timeouts = timeouts_of(mysql);
    connected = mysql_real_connect(mysql, host.c_str(), user.c_str(), password.c_str(),
                                   database.c_str(), 0, nullptr, 0) != nullptr
                    ? 1
                    : 0;
    if (connected) {
        keep_socket_from_children(mysql);
    } else {
        set_timeouts(mysql, timeouts);
    }
}

void Connection::set_catalog(const std::string& catalog) {
    // The client library dereferences the handle unchecked.
    if (mysql == nullptr) return;
    mysql_select_db(mysql, catalog.c_str());
}

void Connection::reconnect() {
    if constexpr (kReconnectInPlace) {
        reconnect_on_same_handle();
    } else {
        reconnect_with_new_handle();
    }
}

void Connection::reconnect_with_new_handle() {
    const Timeouts timeouts = timeouts_of(mysql);
    mysql_close(mysql);  // null after close(): the library ignores it
    mysql = mysql_init(nullptr);
    set_timeouts(mysql, timeouts);
    connect_handle();
}

void Connection::reconnect_on_same_handle() {
    if (mysql == nullptr) {  // closed: there is no handle to keep
        mysql = mysql_init(nullptr);
        connect_handle();
        return;
    }
    if (mysql_get_host_info(mysql) == nullptr) {
        // No session on this handle: its last connect failed (which frees the session data), so
        // a plain connect on it is clean.
        connect_handle();
        return;
    }
    // The handle holds a session: either live, with the error of a failed command still set, or
    // dropped by the server (noticed by an earlier command or not). A second mysql_real_connect
    // fails on a live session ("already connected") and leaks on a dropped one, so instead: a ping
    // clears the error of a live session, and with automatic reconnection enabled for this call
    // only, the library replaces a dropped session in place with the session's own credentials.
    my_bool on = 1;
    my_bool off = 0;
    mysql_options(mysql, MYSQL_OPT_RECONNECT, &on);
    int rc = mysql_ping(mysql);
    // The library declines once if the dropped session was inside a transaction; the second try
    // goes through.
    if (rc != 0) rc = mysql_ping(mysql);
    mysql_options(mysql, MYSQL_OPT_RECONNECT, &off);
    if (rc == 0) keep_socket_from_children(mysql);
    // A new connection starts on the database given at construction; so does this one.
    connected = rc == 0 && mysql_select_db(mysql, database.c_str()) == 0 ? 1 : 0;
}

void Connection::close() {
    if (mysql == nullptr) return;
    mysql_close(mysql);
    mysql = nullptr;
}

Connection::operator void*() const {
    if (mysql == nullptr) return nullptr;  // closed: nothing a cgilet could use
    return mysql_error(mysql)[0] == '\0' ? const_cast<Connection*>(this) : nullptr;
}

}  // namespace sql_client
