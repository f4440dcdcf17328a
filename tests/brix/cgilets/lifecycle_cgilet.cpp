// A cgilet that records its life in the file named by the environment variable
// BRIX_TEST_EVENT_LOG, one line per event: "loaded" when the library is loaded, "made" when the
// factory runs, "destroyed" when the object is deleted, "unloaded" when the library is unloaded.
// Tests read the file to check the order of teardown.
#include <cstdio>
#include <cstdlib>

#include "brix/cgilet_export.h"
#include "brix/form_data.h"
#include "net_tools/tcp_stream.h"

namespace {

void record(const char* event) {
    const char* path = std::getenv("BRIX_TEST_EVENT_LOG");
    if (path == nullptr || *path == '\0') return;
    if (std::FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s\n", event);
        std::fclose(file);
    }
}

struct LibraryLife {
    LibraryLife() { record("loaded"); }
    ~LibraryLife() { record("unloaded"); }
} library_life;

class Lifecycle : public brix::Cgilet {
  public:
    ~Lifecycle() override { record("destroyed"); }
    void process(net_tools::tcp_stream& stream, brix::FormData&, sql_client::Connection*) override {
        stream << "alive\n";
    }
    void process_without_database(net_tools::tcp_stream& stream, brix::FormData&) override {
        stream << "alive\n";
    }
};

}  // namespace

BRIX_CGILET_EXPORT brix::Cgilet* make_lifecycle() {
    record("made");
    return new Lifecycle;
}
