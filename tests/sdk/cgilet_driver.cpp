// `cgilet_driver LIBRARY FACTORY REQUEST_LINE` serves one request without a database as the
// daemon does, and prints the response; exits with 0 when the cgilet was called.
#include <sys/socket.h>
#include <unistd.h>

#include <iostream>

#include "brix/cgi_context.h"
#include "brix/form_data.h"
#include "brix/request_line.h"
#include "net_tools/tcp_stream.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    brix::CGIContext entry("driven", argv[1], argv[2], "none");
    int ends[2];
    if (!entry.usable() || socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        std::cerr << "cgilet_driver: " << argv[1] << ": " << entry.failure_text() << "\n";
        return 1;
    }
    {
        net_tools::tcp_stream stream(ends[0]);
        brix::FormData form;
        brix::parse_request_line(argv[3], form);
        entry.cgilet->process_without_database(stream, form);
    }  // the stream closes its end, so the read below ends
    char byte = 0;
    while (read(ends[1], &byte, 1) == 1) std::cout << byte;
    return 0;
}
