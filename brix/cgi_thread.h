// A request worker: one of the daemon's worker threads. Internal to the daemon core.
#pragma once

#include <string>
#include <vector>

#include "brix/accept_times.h"
#include "brix/cgi_context.h"
#include "brix/database_link.h"
#include "brix/server_settings.h"
#include "sql_client/connection.h"
#include "thread_tools/queue.h"
#include "thread_tools/thread.h"

namespace brix {

// Takes accepted descriptors from the work queue one at a time and serves one request on each:
// reads the request line, decodes its fields, finds the cgilet named by "cgilet" (or "hello") and
// hands the request to it, then closes the connection. Opens one database connection of its own
// when it starts and keeps it for its whole life (trying again later when that first connect
// fails, see DatabaseLink). Ends when the queue stops; a request in progress is finished first.
//
// A client cannot hold a worker for long: the whole request line must arrive within the request
// timeout of the moment the connection was accepted, a send waits at most the send timeout for a
// client that reads nothing, and a cgilet's own reads wait at most the read timeout each
// (ServerSettings).
//
// The creator calls start once, then join, then deletes the worker. The queue and the catalog are
// shared with the other workers and must outlive this one; the catalog must not change while the
// worker runs.
class CGIThread : public thread_tools::Thread {
  public:
    // Keeps the queue, id, catalog and settings (timeouts, database), and where the accepting
    // thread records when it accepted each descriptor (none: each request line's time counts
    // from the moment the worker takes it). Does not start the thread.
    CGIThread(thread_tools::Queue<int>* queue, int id, std::vector<CGIContext*>* catalog,
              const ServerSettings& settings, AcceptTimes* accept_times = nullptr);
    ~CGIThread() override;

    // The thread body: connects to the database, then serves descriptors until the queue stops.
    // Any exception while taking or serving a request is traced and the loop goes on.
    void run() override;

    // Serves one request on the accepted descriptor `fd` and releases the descriptor. Worker
    // thread only (it uses the worker's connection).
    void process_request(int fd);

    // The first catalog entry named `name` (exact, case-sensitive), or null.
    CGIContext* find_cgi(const std::string& name);

  private:
    thread_tools::Queue<int>* queue;
    std::vector<CGIContext*>* catalog;
    int id;
    DatabaseLink link;  // the worker's own connection, set by run
    ServerSettings settings;
    AcceptTimes* accept_times;
};

}  // namespace brix
