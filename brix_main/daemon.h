// The part of the daemon's entry that both platforms share. Internal to brix_main.
#pragma once

#include "brix/server_settings.h"

namespace brix_main {

// Constructs the server on `address` and `port`, checks that it listens (if not: a message on
// standard error naming the address, port and system error, and status 1), traces "run next...",
// runs it until it is stopped, traces "done..." and returns the process's exit status: 0 after a
// requested stop, 1 when accepting failed for good. Windows Sockets must already be started.
int run_daemon(const char* address, int port, const brix::ServerSettings& settings);

// The settings this build of the daemon was configured with.
brix::ServerSettings built_in_settings();

}  // namespace brix_main
