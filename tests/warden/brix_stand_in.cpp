// Test-only stand-in for the daemon, started by warden through the command interpreter as "brix".
// A service has no standard output, so it appends a line to "<own path>.trace" as it starts: the
// state of the service "BRIx" at that moment ("BRIx=4"; 0 when there is none). It then runs until
// "<own path>.end" exists, for at most 60 s.
#include <windows.h>

#include <fstream>
#include <string>

#include "tests/support/win_services.h"

int main() {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::ofstream(std::string(self) + ".trace", std::ios::app)
        << "BRIx=" << brix_test::service_state("BRIx") << "\n";
    const std::string end = std::string(self) + ".end";
    for (int i = 0; i < 3000 && GetFileAttributesA(end.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) {
        Sleep(20);
    }
}
