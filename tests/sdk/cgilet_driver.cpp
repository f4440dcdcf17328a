// Test-only: serves one request with a cgilet library the way the daemon does, without the
// daemon: loads the library into a catalog entry, decodes the request line, calls the cgilet's
// process_without_database on one end of a real loopback connection and prints what arrives at
// the other end.
//
//     cgilet_driver LIBRARY FACTORY REQUEST_LINE
//
// Exit status 0 when the cgilet was called, 1 when the library or its factory is unusable, 2 on
// a usage error, 3 when no loopback connection could be made.
#include <iostream>
#include <string>

#include "brix/cgi_context.h"
#include "brix/form_data.h"
#include "brix/request_line.h"
#include "net_tools/socket_ops.h"
#include "net_tools/tcp_server.h"
#include "net_tools/tcp_stream.h"

namespace ops = net_tools::socket_ops;

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: cgilet_driver LIBRARY FACTORY REQUEST_LINE\n";
        return 2;
    }
    if (!ops::start()) return 3;
    brix::CGIContext entry("driven", argv[1], argv[2], "none");
    if (!entry.usable()) {
        std::cerr << "cgilet_driver: " << argv[1] << ": " << entry.failure_text() << "\n";
        return 1;
    }

    net_tools::tcp_server server("127.0.0.1", 0);
    const int client = ops::create_tcp();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = ops::ipv4_from_text("127.0.0.1");
    address.sin_port = htons(static_cast<unsigned short>(server.local_port()));
    if (!server.listening() || client < 0 || ops::connect(client, address) != 0) {
        std::cerr << "cgilet_driver: no loopback connection: " << server.error_text() << "\n";
        return 3;
    }
    {
        net_tools::tcp_stream stream(server.accept());
        brix::FormData form;
        brix::parse_request_line(argv[3], form);
        entry.cgilet->process_without_database(stream, form);
    }  // the stream closes its end, so the read below ends
    char byte = 0;
    while (ops::recv_byte(client, &byte) == 1) std::cout << byte;
    ops::close(client);
    return 0;
}
