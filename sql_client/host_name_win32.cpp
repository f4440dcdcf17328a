#include <winsock2.h>

#include "sql_client/host_name.h"

namespace sql_client {

std::string local_host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
    return name;
}

}  // namespace sql_client
