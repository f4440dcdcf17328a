#include <windows.h>

#include <string>

namespace brix_test {

// Wine starts a Unix program given by its Unix path, but hands back no process to wait on and no
// exit code; the script serialises its own commands.
bool request_server(const std::string& verb) {
    std::string line = std::string("/bin/bash ") + BRIX_DB_SERVER_SCRIPT + " " + verb;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace brix_test
