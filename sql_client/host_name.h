// The machine's own host name, where the daemon finds its database server by default.
#pragma once

#include <string>

namespace sql_client {

// The local machine's host name (gethostname), or "localhost" if the system gives none.
// On Windows, Windows Sockets must have been started. Thread safe.
std::string local_host_name();

}  // namespace sql_client
