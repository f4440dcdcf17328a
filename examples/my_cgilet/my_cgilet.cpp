// my_cgilet: greets the request's "name" field and, when the daemon gives it a database, says
// which one it is on. One object serves every worker thread at once, so it keeps no state of its
// own: everything a request needs is in its arguments or on the stack.
#include <mysql.h>

#include <string>

#include "brix/cgilet_export.h"
#include "brix/form_data.h"
#include "net_tools/tcp_stream.h"
#include "sql_client/connection.h"

namespace {

class MyCgilet : public brix::Cgilet {
  public:
    void process(net_tools::tcp_stream& stream, brix::FormData& form,
                 sql_client::Connection* connection) override {
        greet(stream, form);
        stream << "database: " << current_database(connection->handle()) << "\n";
    }

    void process_without_database(net_tools::tcp_stream& stream, brix::FormData& form) override {
        greet(stream, form);
    }

  private:
    static void greet(net_tools::tcp_stream& stream, brix::FormData& form) {
        std::string name = form.get_value("name");
        if (name.empty()) name = "stranger";
        stream << "Hello from my_cgilet, " << name << "!\n";
    }

    // The connection belongs to the worker: use its handle, never close it.
    static std::string current_database(MYSQL* mysql) {
        if (mysql == nullptr || mysql_query(mysql, "SELECT DATABASE()") != 0) return "(none)";
        std::string name = "(none)";
        if (MYSQL_RES* result = mysql_store_result(mysql)) {
            MYSQL_ROW row = mysql_fetch_row(result);
            if (row != nullptr && row[0] != nullptr) name = row[0];
            mysql_free_result(result);
        }
        return name;
    }
};

}  // namespace

// The factory, exported under the name that "cgi.csv" gives in its third column.
BRIX_CGILET_EXPORT brix::Cgilet* make_my_cgilet() { return new MyCgilet; }
