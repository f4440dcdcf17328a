#include "brix/cgi_thread.h"

#include <algorithm>
#include <chrono>

#include "brix/dispatch.h"
#include "brix/form_data.h"
#include "brix/request_line.h"
#include "brix/trace.h"
#include "net_tools/socket_ops.h"
#include "net_tools/tcp_stream.h"
#include "sql_client/host_name.h"

namespace brix {

namespace {
constexpr unsigned kLongestRequestLine = 1024;
// How long, and for how many bytes, a connection closed with unread input waits for the client
// to close its end (see tcp_stream::close_gracefully).
constexpr std::chrono::milliseconds kDrainTime{500};
constexpr std::size_t kDrainBytes = 64 * 1024;

// The line after "unable to connect to the database...": what was tried and the library's error.
std::string connect_failure(const std::string& host, const DatabaseSettings& database,
                            const sql_client::Connection& connection) {
    MYSQL* mysql = connection.handle();
    return "database \"" + database.database + "\" on host \"" + host + "\" as user \"" +
           database.user + "\": error " +
           std::to_string(mysql != nullptr ? mysql_errno(mysql) : 0) + " (" +
           (mysql != nullptr ? mysql_error(mysql) : "no client handle") + ")";
}

}  // namespace

CGIThread::CGIThread(thread_tools::Queue<int>* queue, int id, std::vector<CGIContext*>* catalog,
                     const ServerSettings& settings, AcceptTimes* accept_times)
    : queue(queue), catalog(catalog), id(id), settings(settings), accept_times(accept_times) {}

CGIThread::~CGIThread() = default;

void CGIThread::run() {
    trace("thread #" + std::to_string(id) + " start...");
    const DatabaseSettings& database = settings.database;
    const std::string host = database.host.empty() ? sql_client::local_host_name() : database.host;
    sql_client::Connection own(host, database.user, database.password, database.database,
                               database.timeouts);
    const bool connected = own;
    link = DatabaseLink(&own, connected);
    if (!connected) {
        // One write, so that the two lines of one worker stay together among the other workers'.
        trace_error("unable to connect to the database...\n" +
                    connect_failure(host, database, own));
    }
    while (queue->is_running()) {
        try {
            const int fd = queue->get();
            // One write, so that no other thread's line lands inside it.
            trace("id: " + std::to_string(id) + " got: " + std::to_string(fd));
            process_request(fd);
        } catch (...) {
            trace("CGI error thread #" + std::to_string(id) + "...");
        }
    }
    if (own) own.close();
    link = DatabaseLink();
    trace("done thread #" + std::to_string(id) + "...");
}

void CGIThread::process_request(int fd) {
    trace("process request...");
    const auto accepted =
        accept_times != nullptr ? accept_times->take(fd) : AcceptTimes::Clock::now();
    net_tools::tcp_stream stream(fd);
    if (!stream) return;
    namespace ops = net_tools::socket_ops;
    if (settings.send_timeout_ms > 0) {
        ops::set_send_timeout(fd, static_cast<unsigned>(settings.send_timeout_ms));
    }
    // The cgilet's own reads wait at most the read timeout each. Without a request timeout the
    // request line's receives do too; with one, the whole line must have arrived by then, and
    // read_line_until puts the read timeout back afterwards. A connection whose time ran out
    // while it was queued gets what it has sent so far, without waiting.
    ops::set_receive_timeout(fd, static_cast<unsigned>(std::max(settings.read_timeout_ms, 0)));
    const std::string line =
        settings.request_timeout_ms > 0
            ? stream.read_line_until(
                  kLongestRequestLine,
                  accepted + std::chrono::milliseconds(settings.request_timeout_ms))
            : stream.read_line(kLongestRequestLine);
    FormData form;
    parse_request_line(line, form);
    std::string name = form.get_value("cgilet");
    if (name.empty()) name = "hello";
    // The name comes from the request: it must not make lines of its own or be read two ways.
    trace("cgilet=\"" + escaped_for_trace(name) + "\"");
    if (CGIContext* entry = find_cgi(name)) dispatch_request(*entry, link, stream, form);
    stream.close_gracefully(kDrainTime, kDrainBytes);
}

CGIContext* CGIThread::find_cgi(const std::string& name) {
    for (CGIContext* entry : *catalog) {
        if (entry->name == name) return entry;
    }
    return nullptr;
}

}  // namespace brix
