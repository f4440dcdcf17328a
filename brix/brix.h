// The daemon's server: the listening socket, the work queue of accepted descriptors, the cgilet
// catalog, and the stop handler. Internal to the daemon core; the entry points use it.
#pragma once

#include <vector>

#include "brix/accept_times.h"
#include "brix/cgi_context.h"
#include "brix/server_settings.h"
#include "net_tools/tcp_server.h"
#include "thread_tools/queue.h"

namespace brix {

// Construct, check listening(), call run once, destroy. run does the whole life of the server on
// the calling thread: pid file, catalog, stop handler, workers, accept loop, and after a stop the
// join and teardown. The stop handler (on_SIGNAL, or stop) may run on any thread while run blocks
// in accept.
class BRIX {
  public:
    // Creates, binds and starts the listening socket on `address` (kept by pointer) and `port`,
    // then the (running) work queue and the empty catalog. `option` is stored and unused.
    // `settings` give the catalog and pid-file paths, the worker count, the request read timeout
    // and the database every worker connects to.
    BRIX(const char* address, int port, bool option, const ServerSettings& settings);

    // Frees the catalog vector (run has deleted its entries), then the queue, then the socket.
    ~BRIX();

    BRIX(const BRIX&) = delete;
    BRIX& operator=(const BRIX&) = delete;

    // True when the listening socket is bound and listening; when false, run would serve nothing
    // and listen_error() says why (address, port and the system's message).
    bool listening() const;
    std::string listen_error() const;

    // Runs the server until it is stopped and everything it started has been joined and freed.
    // Call once, on the thread that constructed the server.
    void run();

    // True when run ended because accepting failed for good rather than through a stop request;
    // the entry point then exits with a failure status. Read after run returns.
    bool failed() const;

    net_tools::tcp_server server;
    thread_tools::Queue<int> queue;
    bool option;
    std::vector<CGIContext*> catalog;

  private:
    void write_pid_file();
    void accept_loop();

    ServerSettings settings;
    AcceptTimes accept_times;  // when each queued descriptor was accepted, for the workers
    bool accept_failed = false;
};

}  // namespace brix

// The work queue and listening socket of the running server, for the stop handler. Null until
// run arms the handler; reset when that server is destroyed.
extern thread_tools::Queue<int>* p_fd_queue;
extern net_tools::tcp_server* p_tcp_server;

namespace brix {

// Leads the server down the same stop path as on_SIGNAL (the listening socket is closed, then the
// work queue drains), from any thread. A request made before run has armed the stop path is kept
// and carried out as soon as it is armed, so it is never lost; it is forgotten when the server is
// destroyed. Unlike on_SIGNAL it never ends the process. Used by the service host's stop control.
void request_stop();

}  // namespace brix

// The stop handler for SIGINT (2) and SIGTERM (15): traces "shutdown next...", closes the listening
// socket and traces "done shutdown...". The accept loop then ends and lets the work queue drain:
// every accepted connection is served before the workers end (see brix.cpp for the whole order).
// Other signal numbers are ignored. Called before any server is armed, it ends the process with
// status 0. Safe on any thread; calling it again during a stop changes nothing.
void on_SIGNAL(int sig);
