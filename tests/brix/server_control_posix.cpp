#include <sys/wait.h>

#include <cstdlib>

#include <string>

namespace brix_test {

bool request_server(const std::string& verb) {
    const std::string command = std::string(BRIX_DB_SERVER_SCRIPT) + " " + verb;
    const int status = std::system(command.c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace brix_test
