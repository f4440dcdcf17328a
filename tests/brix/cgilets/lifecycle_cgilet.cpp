// A cgilet that records its life, one line per event, in "lifecycle.log" in the current folder:
// "loaded" and "unloaded" with its library, "made" by the factory, "destroyed" with the object.
#include <fstream>

#include "brix/cgilet_export.h"
#include "brix/form_data.h"
#include "net_tools/tcp_stream.h"

namespace {

void record(const char* event) { std::ofstream("lifecycle.log", std::ios::app) << event << '\n'; }

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

BRIX_CGILET_EXPORT brix::Cgilet* make_lifecycle() {
    record("made");
    return new Lifecycle;
}
