// The "guestbook" cgilet: a small guestbook kept in its database catalog, through the worker's
// connection. "action=add&name=...&message=..." adds an entry; any other request lists the latest
// ten entries, newest first, one "#id name: message" line each. The table is created when missing.
#include <mysql.h>

#include <string>

#include "brix/cgilet_export.h"
#include "brix/form_data.h"
#include "net_tools/tcp_stream.h"
#include "sql_client/connection.h"

namespace {

const char* const kCreateTable =
    "CREATE TABLE IF NOT EXISTS guestbook ("
    " id INT AUTO_INCREMENT PRIMARY KEY,"
    " name VARCHAR(100) NOT NULL,"
    " message VARCHAR(1000) NOT NULL,"
    " created TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP)";

constexpr std::string::size_type kLongestName = 100;
constexpr std::string::size_type kLongestMessage = 1000;

// `text`, cut to `longest` bytes, as a quoted SQL string literal safe for the connection's
// character set.
std::string quoted(MYSQL* mysql, std::string text, std::string::size_type longest) {
    if (text.size() > longest) text.resize(longest);
    std::string escaped(text.size() * 2 + 1, '\0');
    const unsigned long length =
        mysql_real_escape_string(mysql, &escaped[0], text.data(), text.size());
    escaped.resize(length);
    return "'" + escaped + "'";
}

// Writes one line per entry; newlines inside a message would break the one-line format, so they
// are written as spaces.
void write_entry(net_tools::tcp_stream& stream, MYSQL_ROW row) {
    std::string line = std::string("#") + (row[0] ? row[0] : "") + " " + (row[1] ? row[1] : "") +
                       ": " + (row[2] ? row[2] : "");
    for (char& c : line) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    stream << line << "\n";
}

class Guestbook : public brix::Cgilet {
  public:
    void process(net_tools::tcp_stream& stream, brix::FormData& form,
                 sql_client::Connection* connection) override {
        MYSQL* mysql = connection->handle();
        if (mysql_query(mysql, kCreateTable) != 0) return fail(stream, mysql);

        if (form.get_value("action") == "add") {
            std::string name = form.get_value("name");
            const std::string message = form.get_value("message");
            if (name.empty()) name = "anonymous";
            if (message.empty()) {
                stream << "guestbook: nothing to add: the message is empty\n";
                return;
            }
            const std::string insert = "INSERT INTO guestbook (name, message) VALUES (" +
                                       quoted(mysql, name, kLongestName) + ", " +
                                       quoted(mysql, message, kLongestMessage) + ")";
            if (mysql_query(mysql, insert.c_str()) != 0) return fail(stream, mysql);
            stream << "added #" << static_cast<int>(mysql_insert_id(mysql)) << "\n";
            return;
        }

        if (mysql_query(mysql,
                        "SELECT id, name, message FROM guestbook ORDER BY id DESC LIMIT 10") != 0)
            return fail(stream, mysql);
        MYSQL_RES* result = mysql_store_result(mysql);
        if (result == nullptr) return fail(stream, mysql);
        if (mysql_num_rows(result) == 0) stream << "the guestbook is empty\n";
        while (MYSQL_ROW row = mysql_fetch_row(result)) write_entry(stream, row);
        mysql_free_result(result);
    }

    void process_without_database(net_tools::tcp_stream& stream, brix::FormData&) override {
        stream << "guestbook: no database connection\n";
    }

  private:
    static void fail(net_tools::tcp_stream& stream, MYSQL* mysql) {
        stream << "guestbook: database error " << static_cast<int>(mysql_errno(mysql)) << ": "
               << mysql_error(mysql) << "\n";
    }
};

}  // namespace

BRIX_CGILET_EXPORT brix::Cgilet* make_guestbook() { return new Guestbook; }
