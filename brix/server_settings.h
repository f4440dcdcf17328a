// What a daemon build fixes at build time, gathered in one place. The entry points fill these from
// their build configuration; tests fill them for the daemons they start. Internal to the core.
#pragma once

#include <string>

namespace brix {

// The database every worker connects to when it starts. An empty host means the machine's own
// host name, looked up when the worker connects.
struct DatabaseSettings {
    std::string host;
    std::string user;
    std::string password;
    std::string database;
};

struct ServerSettings {
    std::string catalog_path;     // the catalog file, absolute or relative to the current directory
    std::string pid_file_path;    // where the daemon writes its process id; empty: no pid file
    int worker_count = 10;        // request workers, with ids 100, 101, ...
    int read_timeout_ms = 30000;  // how long a request read may wait for the client; 0: for ever
    DatabaseSettings database;
};

}  // namespace brix
