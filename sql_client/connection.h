// Public header of the cgilet SDK: one MySQL client connection. Cgilets receive a Connection by
// address from the daemon and run their queries through handle(); the class layout below is part
// of the plug-in contract and is the same in both daemon builds.
#pragma once

#include <mysql.h>

#include <string>

namespace sql_client {

// Owner of one MySQL client handle, connected to one server with fixed credentials. Failures are
// state, never exceptions: the truth value tells whether the last library call on the handle
// succeeded. Not thread safe: a connection and its handle are used by one thread at a time.
// Before several threads make connections at once, the process holds a ClientLibrary.
class Connection {
  public:
    // How long the client library may wait for the server, in seconds; 0 leaves the library's
    // own default (no limit for reads and writes). With limits, a server that stops answering
    // (frozen, or a network gone silent) makes the call fail instead of blocking for ever.
    struct Timeouts {
        unsigned connect = 0;  // establishing a connection, handshake included
        unsigned read = 0;     // each wait for data from the server
        unsigned write = 0;    // each wait to send data to the server
    };

    // Makes a handle and connects at once to `host` on the default port (0) as `user`, with
    // `database` as the current one. The outcome shows only through the truth value.
    Connection(const std::string& host, const std::string& user, const std::string& password,
               const std::string& database);
    // The same, with `timeouts` set on the handle before it connects. They stay with the
    // connection through reconnect() (but not through close() and a later reconnect()).
    Connection(const std::string& host, const std::string& user, const std::string& password,
               const std::string& database, const Timeouts& timeouts);
    // Closes the handle if close() has not.
    virtual ~Connection();

    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Makes `catalog` the current database. A failure (unknown database, lost server) shows in
    // the next truth value. Does nothing on a closed connection.
    void set_catalog(const std::string& catalog);

    // Connects again with the parameters given at construction; afterwards the current database
    // is the one given at construction. Also brings a closed connection back.
    // The `brix` build drops the handle and makes a new one; the `brixsvc` build keeps its handle
    // (a live session is kept, a dropped one is replaced in place).
    void reconnect();

    // Releases the handle; a second call does nothing. The connection then tests false until
    // reconnect().
    void close();

    // Non-null (true) when the last library call on the handle, whoever made it, left no error;
    // null (false) after a failure, and always null on a closed connection.
    operator void*() const;

    // The client library handle for the caller's own queries, or null when closed. Owned by the
    // connection: valid until close(), reconnect() or destruction. reconnect() in the `brix`
    // build replaces it, so callers fetch it again rather than keep it.
    MYSQL* handle() const { return mysql; }

  private:
    // Connects the current handle with the stored parameters and sets `connected`.
    void connect_handle();
    // The two ways of reconnect(): a new handle (`brix`) or the same one (`brixsvc`).
    void reconnect_with_new_handle();
    void reconnect_on_same_handle();

    std::string host;
    std::string user;
    std::string password;
    std::string database;
    MYSQL* mysql;   // owned; null after close()
    int connected;  // 1 when the last connect attempt succeeded, 0 otherwise
};

}  // namespace sql_client
