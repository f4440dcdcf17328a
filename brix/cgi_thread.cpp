#include "brix/cgi_thread.h"

#include <iostream>

#include "brix/dispatch.h"
#include "brix/form_data.h"
#include "brix/request_line.h"
#include "brix/trace.h"
#include "net_tools/tcp_stream.h"
#include "sql_client/host_name.h"

namespace brix {

namespace {
constexpr unsigned kLongestRequestLine = 1024;
}  // namespace

CGIThread::CGIThread(thread_tools::Queue<int>* queue, int id, std::vector<CGIContext*>* catalog,
                     const DatabaseSettings& database)
    : queue(queue), catalog(catalog), id(id), connection(nullptr), database(database) {}

CGIThread::~CGIThread() = default;

void CGIThread::run() {
    trace("thread #" + std::to_string(id) + " start...");
    const std::string host = database.host.empty() ? sql_client::local_host_name() : database.host;
    sql_client::Connection own(host, database.user, database.password, database.database);
    if (own) {
        connection = &own;
    } else {
        connection = nullptr;
        trace_error("unable to connect to the database...");
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
    connection = nullptr;
    trace("done thread #" + std::to_string(id) + "...");
}

void CGIThread::process_request(int fd) {
    std::cout << "process request...\n" << std::flush;
    net_tools::tcp_stream stream(fd);
    if (!stream) return;
    const std::string line = stream.read_line(kLongestRequestLine);
    FormData form;
    parse_request_line(line, form);
    std::string name = form.get_value("cgilet");
    if (name.empty()) name = "hello";
    // The name comes from the request: its control bytes must not make lines of their own.
    trace("cgilet=\"" + without_control_bytes(name) + "\"");
    if (CGIContext* entry = find_cgi(name)) dispatch_request(*entry, connection, stream, form);
    stream.close();
}

CGIContext* CGIThread::find_cgi(const std::string& name) {
    for (CGIContext* entry : *catalog) {
        if (entry->name == name) return entry;
    }
    return nullptr;
}

}  // namespace brix
