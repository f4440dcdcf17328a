// Dispatch of the service-hosted daemon: no trace lines; the health test sees the connection as the
// previous request left it, and a reconnect that fails sends the request on without a database.
#include "brix/dispatch.h"

namespace brix {

void dispatch_request(CGIContext& entry, DatabaseLink& link, net_tools::tcp_stream& stream,
                      FormData& form) {
    Cgilet& cgilet = *entry.cgilet;
    const bool no_database = entry.catalog == "none";
    sql_client::Connection* connection =
        no_database ? link.connection() : link.connection_for_database();
    if (connection == nullptr || no_database) {
        cgilet.process_without_database(stream, form);
    } else if (*connection) {
        connection->set_catalog(entry.catalog);
        cgilet.process(stream, form, connection);
    } else {
        link.reconnect();
        if (*connection) {
            cgilet.process(stream, form, connection);
        } else {
            cgilet.process_without_database(stream, form);
        }
    }
}

}  // namespace brix
