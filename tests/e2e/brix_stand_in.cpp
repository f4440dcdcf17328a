// Test-only stand-in for the daemon, which warden starts through the command interpreter as "brix".
// A service has no standard output, so it writes "<own path>.trace": "BRIx=<state>" (the state of
// the service "BRIx" as it starts, 0 without such a service), then "ended" once "<own path>.end"
// exists (polled; 60 s at most).
#include <windows.h>

#include <fstream>
#include <string>

int main() {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    SERVICE_STATUS status = {};
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "BRIx", SERVICE_QUERY_STATUS);
    if (service != nullptr) QueryServiceStatus(service, &status);
    const std::string trace = std::string(self) + ".trace", end = std::string(self) + ".end";
    std::ofstream(trace, std::ios::app) << "BRIx=" << status.dwCurrentState << "\n";
    for (int i = 0; i < 3000 && GetFileAttributesA(end.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(20);
    std::ofstream(trace, std::ios::app) << "ended\n";
}
