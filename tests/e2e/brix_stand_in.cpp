// Test-only "brix" for warden: appends "BRIx=<state of service BRIx, 0 if none>" to "<own
// path>.trace" (a service has no output), then "ended" once "<own path>.end" exists (60 s at most).
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
