#include "brix/brix.h"

#include <chrono>
#include <cstdlib>
#include <list>
#include <mutex>
#include <thread>

#include "brix/accept_failure_log.h"
#include "brix/catalog.h"
#include "brix/cgi_thread.h"
#include "brix/get_pid.h"
#include "brix/stop_signals.h"
#include "brix/text_file.h"
#include "brix/trace.h"
#include "net_tools/socket_ops.h"

thread_tools::Queue<int>* p_fd_queue = nullptr;
net_tools::tcp_server* p_tcp_server = nullptr;

namespace {

// Guards the two pointers above and the pending stop request between run, the signal handler's
// thread and a service's control handler.
std::mutex stop_mutex;
bool stop_pending = false;
bool armed_server_stopped = false;  // the stop path has run for the armed server

// The stop path, in this order so that no accepted connection is lost:
//   1. here: the listening socket is closed to clients, so nothing more is accepted (connections
//      the system holds but the daemon never accepted are refused or reset) and the accept loop
//      ends, releasing the socket (tcp_server::close: at once on POSIX; under Windows Sockets,
//      where only the release stops the socket, a moment later);
//   2. the accept loop, having put its last descriptor, lets the work queue drain
//      (Queue::shutdown_when_drained): workers go on serving what is queued;
//   3. the worker that takes the last descriptor stops the queue; idle workers leave through
//      "CGI error thread #N...", busy ones once their request is served, each with
//      "done thread #N...";
//   4. run joins the workers and frees the catalog; the entry traces "done...".
// Caller holds stop_mutex and both pointers are set. Runs once per server: a second signal
// during the stop changes nothing.
void stop_armed_server() {
    if (armed_server_stopped) return;
    armed_server_stopped = true;
    brix::trace("shutdown next...");
    p_tcp_server->close();
    brix::trace("done shutdown...");
}

}  // namespace

void on_SIGNAL(int sig) {
    if (sig != 2 && sig != 15) return;
    std::lock_guard<std::mutex> lock(stop_mutex);
    if (p_fd_queue == nullptr || p_tcp_server == nullptr) std::exit(0);
    stop_armed_server();
}

namespace brix {

void request_stop() {
    std::lock_guard<std::mutex> lock(stop_mutex);
    stop_pending = true;
    if (p_fd_queue != nullptr && p_tcp_server != nullptr) stop_armed_server();
}

namespace {
// How long the accept loop waits before it tries again after a transient failure, such as
// running out of descriptors, so that finishing requests can free some.
constexpr auto kAcceptRetryPause = std::chrono::milliseconds(100);
}  // namespace

BRIX::BRIX(const char* address, int port, bool option, const ServerSettings& settings)
    : server(address, port), option(option), settings(settings) {}

BRIX::~BRIX() {
    std::lock_guard<std::mutex> lock(stop_mutex);
    if (p_fd_queue == &queue) p_fd_queue = nullptr;
    if (p_tcp_server == &server) p_tcp_server = nullptr;
    stop_pending = false;
}

bool BRIX::listening() const { return server.listening(); }

std::string BRIX::listen_error() const { return server.error_text(); }

bool BRIX::failed() const { return accept_failed; }

void BRIX::run() {
    write_pid_file();
    load_catalog(settings.catalog_path, catalog);

    {
        std::lock_guard<std::mutex> lock(stop_mutex);
        p_tcp_server = &server;
        p_fd_queue = &queue;
        armed_server_stopped = false;
        // A stop asked for before the server was armed takes effect now.
        if (stop_pending) stop_armed_server();
    }
    // Installed once the server is armed, so that the stop handler always finds it.
    StopSignals stop_signals(&on_SIGNAL);

    std::list<CGIThread*> workers;
    for (int i = 0; i < settings.worker_count; ++i) {
        auto* worker = new CGIThread(&queue, 100 + i, &catalog, settings, &accept_times);
        workers.push_back(worker);
        worker->start();
    }

    StopSignals::leave_to_other_threads();
    accept_loop();
    StopSignals::take_on_this_thread_again();

    for (CGIThread* worker : workers) worker->join();
    for (CGIThread* worker : workers) delete worker;
    workers.clear();
    for (CGIContext* entry : catalog) delete entry;
    catalog.clear();
}

void BRIX::write_pid_file() {
    if (settings.pid_file_path.empty()) return;
    // The daemon's own id: looking "brix.exe" up in the process list could name another process.
    // A file that cannot be written is skipped silently.
    write_text_file(settings.pid_file_path, std::to_string(current_process_id()) + "\n");
}

void BRIX::accept_loop() {
    AcceptFailureLog failure_log;
    for (;;) {
        const int fd = server.accept();
        if (fd < 1) {
            if (server.closed()) break;  // the stop path closed the listening socket
            const int code = server.accept_error();
            const std::string text = net_tools::socket_ops::error_text(code);
            if (server.accept_error_is_transient()) {
                if (const unsigned count = failure_log.failed(AcceptFailureLog::Clock::now())) {
                    trace("accept failed: " + text + "; retrying... (failures since the last " +
                          "such line: " + std::to_string(count) + ")");
                }
                std::this_thread::sleep_for(kAcceptRetryPause);
                continue;
            }
            // Accepting failed for good while the queue runs: take the orderly stop path, so the
            // workers end instead of waiting for ever.
            trace_error("brix: accept failed: " + text + "; stopping");
            accept_failed = true;
            server.close();
            break;
        }
        // A connection accepted here is served even when a stop comes meanwhile: the queue
        // hands out everything put before it drains.
        accept_times.record(fd, AcceptTimes::Clock::now());
        trace("fd: " + std::to_string(fd));
        queue.put(fd);
    }
    queue.shutdown_when_drained();
}

}  // namespace brix
