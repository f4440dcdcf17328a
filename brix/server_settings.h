// What a daemon build fixes at build time, gathered in one place. The entry points fill these from
// their build configuration; tests fill them for the daemons they start. Internal to the core.
#pragma once

#include <string>

#include "sql_client/connection.h"

namespace brix {

// The database every worker connects to when it starts. An empty host means the machine's own
// host name, looked up when the worker connects.
struct DatabaseSettings {
    std::string host;
    std::string user;
    std::string password;
    std::string database;
    // How long the client library waits for the server; 0: no limit.
    sql_client::Connection::Timeouts timeouts{3, 5, 5};
};

struct ServerSettings {
    std::string catalog_path;     // the catalog file, absolute or relative to the current directory
    std::string pid_file_path;    // where the daemon writes its process id; empty: no pid file
    int worker_count = 10;        // request workers, with ids 100, 101, ...
    int read_timeout_ms = 30000;  // how long a cgilet's read may wait for the client; 0: for ever
    int request_timeout_ms = 5000;  // the whole request line must arrive within this; 0: no limit
    int send_timeout_ms = 10000;    // how long a send may wait for a client that reads nothing
    DatabaseSettings database;
};

}  // namespace brix
