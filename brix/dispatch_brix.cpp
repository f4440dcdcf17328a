// Dispatch of the windowless daemon: the catalog is selected before the health test, an unhealthy
// connection is reconnected and the cgilet is called with it whatever the outcome, and each path
// leaves its own trace line.
#include "brix/dispatch.h"
#include "brix/trace.h"

namespace brix {

void dispatch_request(CGIContext& entry, DatabaseLink& link, net_tools::tcp_stream& stream,
                      FormData& form) {
    Cgilet& cgilet = *entry.cgilet;
    const bool no_database = entry.catalog == "none";
    sql_client::Connection* connection =
        no_database ? link.connection() : link.connection_for_database();
    if (connection == nullptr) {
        trace("process request #5");
        cgilet.process_without_database(stream, form);
        return;
    }
    if (!no_database) connection->set_catalog(entry.catalog);
    const bool healthy = *connection;
    if (healthy && !no_database) {
        cgilet.process(stream, form, connection);
        trace("process request #1");
    } else if (!healthy) {
        trace("reconnect...");
        link.reconnect();
        connection->set_catalog(entry.catalog);
        if (!no_database) {
            trace("process request #2");
            cgilet.process(stream, form, connection);
        } else {
            trace("process request #3");
            cgilet.process_without_database(stream, form);
        }
    } else {
        trace("process request #4");
        cgilet.process_without_database(stream, form);
    }
}

}  // namespace brix
