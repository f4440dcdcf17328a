// The cgilet plug-in interface. Public SDK header: it includes only SDK headers and the standard
// library. A cgilet library exports one factory function (see cgilet_export.h) that makes one
// object of a class derived from brix::Cgilet; the daemon calls that object for every request
// that names the cgilet.
#pragma once

namespace net_tools {
class tcp_stream;
}
namespace sql_client {
class Connection;
}

namespace brix {

class FormData;

// A request handler. The daemon calls the operations through the object's table of virtual
// functions, so their order (destructor, process, process_without_database) is fixed: changing it
// breaks every built plug-in.
//
// One object serves every worker thread: several threads may call process and
// process_without_database on it at the same time, without any lock, so a cgilet keeps per-request
// state in its arguments or on its own stack. The factory and the destructor run on the daemon's
// main thread, never while a request is being served.
class Cgilet {
  public:
    // Runs while the cgilet's library is still loaded.
    virtual ~Cgilet() = default;

    // Serves one request that uses a database. `stream` is the connected client socket (the
    // request line has been read, nothing has been written); the cgilet writes the whole response
    // to it and may read more of the request from it. `form` holds the decoded request fields,
    // "cgilet" included. `connection` is the worker's database connection with the cgilet's
    // catalog selected; it stays the worker's: never close or delete it. All three belong to the
    // worker and live until this call returns. Exceptions are caught and traced by the worker.
    virtual void process(net_tools::tcp_stream& stream, FormData& form,
                         sql_client::Connection* connection) = 0;

    // Serves one request without a database: the cgilet's catalog is "none", or the worker has
    // no database connection. Same rules as process otherwise.
    virtual void process_without_database(net_tools::tcp_stream& stream, FormData& form) = 0;
};

}  // namespace brix

// The type of a cgilet library's factory: no arguments, returns a new object made with `new`,
// which the daemon owns and deletes at shutdown (before it unloads the library).
extern "C" {
typedef brix::Cgilet* (*CgiletFactory)();
}
