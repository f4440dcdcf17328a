// The "hello" cgilet: greets the "name" field, or the world. The daemon's default cgilet, called
// when a request names none.
#include <string>

#include "brix/cgilet_export.h"
#include "brix/form_data.h"
#include "net_tools/tcp_stream.h"

namespace {

class Hello : public brix::Cgilet {
  public:
    void process(net_tools::tcp_stream& stream, brix::FormData& form,
                 sql_client::Connection*) override {
        process_without_database(stream, form);
    }

    void process_without_database(net_tools::tcp_stream& stream, brix::FormData& form) override {
        std::string name = form.get_value("name");
        if (name.empty()) name = "world";
        stream << "Hello, " << name << "!\n";
    }
};

}  // namespace

BRIX_CGILET_EXPORT brix::Cgilet* make_hello() { return new Hello; }
