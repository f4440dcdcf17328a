// Test-only stand-in for the daemon, started by warden through the command interpreter as "brix".
// A service has no standard output, so it leaves its trace in a file beside itself:
//   "<own path>.trace"  gets "started pid=<id> BRIx=<state>" (the state of the service "BRIx" as
//                       the SCM reports it at that moment, 0 when there is no such service), and
//                       "ended" when it ends;
//   "<own path>.end"    once this file exists it ends (checked every 20 ms; at most 60 s).
#include <windows.h>

#include <fstream>
#include <string>

#include "tests/support/win_services.h"

int main() {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string trace = std::string(self) + ".trace";
    const std::string end = std::string(self) + ".end";

    std::ofstream(trace, std::ios::app) << "started pid=" << GetCurrentProcessId()
                                        << " BRIx=" << brix_test::service_state("BRIx") << "\n";

    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (GetFileAttributesA(end.c_str()) == INVALID_FILE_ATTRIBUTES &&
           GetTickCount64() < deadline) {
        Sleep(20);
    }
    std::ofstream(trace, std::ios::app) << "ended\n";
    return 0;
}
