// How a worker hands one request to its cgilet: which of the two operations it calls, and how it
// manages its database connection first. The two daemon builds differ here: dispatch_brix.cpp and
// dispatch_brixsvc.cpp implement the one function, and CMake builds each flavour of the core with
// one of them. Internal to the daemon core.
#pragma once

#include "brix/cgi_context.h"
#include "brix/database_link.h"
#include "brix/form_data.h"
#include "net_tools/tcp_stream.h"
#include "sql_client/connection.h"

namespace brix {

// Calls `entry.cgilet` for one request: `process` with the connection when the entry's catalog is
// used and can be selected, `process_without_database` otherwise. `link` holds the worker's own
// connection (or none); for an entry with a catalog, a worker without one tries to connect first
// (as often as the link allows). The connection may be reconnected or switched to another catalog
// on the way. Runs on the worker's thread; exceptions from the cgilet pass through to the worker.
void dispatch_request(CGIContext& entry, DatabaseLink& link, net_tools::tcp_stream& stream,
                      FormData& form);

}  // namespace brix
