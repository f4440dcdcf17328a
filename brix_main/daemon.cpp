#include "brix_main/daemon.h"

#include "brix/brix.h"
#include "brix/trace.h"
#include "brix_main/daemon_config.h"
#include "sql_client/client_library.h"
#include "sql_client/database_settings.h"

namespace brix_main {

brix::ServerSettings built_in_settings() {
    brix::ServerSettings settings;
    settings.catalog_path = BRIX_CONFIG_CATALOG_PATH;
    settings.pid_file_path = BRIX_CONFIG_PID_FILE_PATH;
    settings.worker_count = BRIX_CONFIG_WORKER_COUNT;
    settings.read_timeout_ms = BRIX_CONFIG_READ_TIMEOUT_MS;
    settings.request_timeout_ms = BRIX_CONFIG_REQUEST_TIMEOUT_MS;
    settings.send_timeout_ms = BRIX_CONFIG_SEND_TIMEOUT_MS;
    settings.database.host = sql_client::settings::kHost;
    settings.database.user = sql_client::settings::kUser;
    settings.database.password = sql_client::settings::kPassword;
    settings.database.database = sql_client::settings::kDatabase;
    settings.database.timeouts = {BRIX_CONFIG_DB_CONNECT_TIMEOUT_S, BRIX_CONFIG_DB_READ_TIMEOUT_S,
                                  BRIX_CONFIG_DB_WRITE_TIMEOUT_S};
    return settings;
}

int run_daemon(const char* address, int port, const brix::ServerSettings& settings) {
    // The client library is made ready once, before ten workers connect at the same moment.
    sql_client::ClientLibrary client_library;
    brix::BRIX server(address, port, false, settings);
    if (!server.listening()) {
        brix::trace_error("brix: " + server.listen_error());
        return 1;
    }
    brix::trace("run next...");
    server.run();
    brix::trace("done...");
    return server.failed() ? 1 : 0;
}

}  // namespace brix_main
