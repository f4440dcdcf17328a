// Test cgilets: "throw"; "wait" echoes the next line; "flood" sends 64 MiB; "dbname" answers the
// database (fail=1 then fails a query); "spawn" starts a child. make_nothing/make_throwing fail.
#include <mysql.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "brix/cgilet_export.h"
#include "brix/form_data.h"
#include "net_tools/tcp_stream.h"
#include "sql_client/connection.h"

namespace {

using Stream = net_tools::tcp_stream;

template <void (*act)(Stream&)>
struct WithoutDatabase : brix::Cgilet {
    void process(Stream& stream, brix::FormData&, sql_client::Connection*) override { act(stream); }
    void process_without_database(Stream& stream, brix::FormData&) override { act(stream); }
};

void throw_always(Stream&) { throw std::runtime_error("the throw cgilet always throws"); }

void wait_for_line(Stream& stream) {
    const std::string line = stream.read_line(1024);
    stream << "released: " << line << "\n";
}

void flood(Stream& stream) {
    for (int i = 0; i < 65536; ++i) stream << std::string(1024, 'f');
}

struct DbName : brix::Cgilet {
    void process(Stream& stream, brix::FormData& form,
                 sql_client::Connection* connection) override {
        MYSQL* mysql = connection->handle();
        MYSQL_RES* result =
            mysql_query(mysql, "SELECT DATABASE()") == 0 ? mysql_store_result(mysql) : nullptr;
        MYSQL_ROW row = result != nullptr ? mysql_fetch_row(result) : nullptr;
        std::string name = "error " + std::to_string(mysql_errno(mysql));
        if (row != nullptr) name = row[0] != nullptr ? row[0] : "NULL";
        if (result != nullptr) mysql_free_result(result);
        if (form.get_value("fail") == "1") mysql_query(mysql, "SELECT * FROM no_such_table_here");
        stream << "database=" << name << "\n";
    }
    void process_without_database(Stream& stream, brix::FormData&) override {
        stream << "database=none\n";
    }
};

}  // namespace

BRIX_CGILET_EXPORT brix::Cgilet* make_throw() { return new WithoutDatabase<throw_always>; }
BRIX_CGILET_EXPORT brix::Cgilet* make_wait() { return new WithoutDatabase<wait_for_line>; }
BRIX_CGILET_EXPORT brix::Cgilet* make_flood() { return new WithoutDatabase<flood>; }
BRIX_CGILET_EXPORT brix::Cgilet* make_dbname() { return new DbName; }
BRIX_CGILET_EXPORT brix::Cgilet* make_nothing() { return nullptr; }
BRIX_CGILET_EXPORT brix::Cgilet* make_throwing() { throw std::runtime_error("it always throws"); }
#ifndef _WIN32
static void spawn(Stream& stream) {
    std::string pid;
    if (std::FILE* shell = popen("sleep 600 </dev/null >/dev/null 2>&1 & echo $!", "r")) {
        for (int c; (c = std::fgetc(shell)) != EOF && c != '\n';) pid += static_cast<char>(c);
        pclose(shell);
    }
    stream << "child=" << pid << "\n";
}
BRIX_CGILET_EXPORT brix::Cgilet* make_spawn() { return new WithoutDatabase<spawn>; }
#endif
