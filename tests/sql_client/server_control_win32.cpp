#include <windows.h>

#include <vector>

#include "tests/sql_client/test_database.h"

namespace brix_test {

// Wine starts a Unix program given by its Unix path, but hands back no process to wait on and no
// exit code; the script serialises its own commands.
bool request_server(const std::string& verb) {
    const std::string command = std::string("/bin/bash ") + BRIX_DB_SERVER_SCRIPT + " " + verb;
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    if (process.hThread != nullptr) CloseHandle(process.hThread);
    if (process.hProcess != nullptr) CloseHandle(process.hProcess);
    return true;
}

}  // namespace brix_test
