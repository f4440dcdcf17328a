#include "sql_client/client_library.h"

#include <mysql.h>

namespace sql_client {

ClientLibrary::ClientLibrary() : initialised(mysql_library_init(0, nullptr, nullptr) == 0) {}

ClientLibrary::~ClientLibrary() {
    if (initialised) mysql_library_end();
}

}  // namespace sql_client
