// Writes its life to standard output: "loaded"/"unloaded" (library), "made", "destroyed".
#include <cstdio>

#include "brix/cgilet_export.h"

namespace {

void record(const char* event) { std::printf("%s\n", event), std::fflush(stdout); }

struct LibraryLife {
    LibraryLife() { record("loaded"); }
    ~LibraryLife() { record("unloaded"); }
} library_life;

struct Lifecycle : brix::Cgilet {
    ~Lifecycle() override { record("destroyed"); }
    void process(net_tools::tcp_stream&, brix::FormData&, sql_client::Connection*) override {}
    void process_without_database(net_tools::tcp_stream&, brix::FormData&) override {}
};

}  // namespace

BRIX_CGILET_EXPORT brix::Cgilet* make_lifecycle() { return record("made"), new Lifecycle; }
