// Test-only stand-in for the daemon, started by warden through the command interpreter as "brix".
// A service has no standard output, so it leaves its trace in a file beside itself:
//   "<own path>.trace"  gets "started pid=<id> BRIx=<state>" (the state of the service "BRIx" as
//                       the SCM reports it at that moment, 0 when there is no such service), and
//                       "ended" when it ends;
//   "<own path>.end"    once this file exists it ends (checked every 20 ms; at most 60 s).
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

DWORD ServiceState(const char* name) {
    DWORD state = 0;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return state;
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    if (service != nullptr) {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status)) state = status.dwCurrentState;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return state;
}

void Append(const std::string& path, const std::string& line) {
    if (FILE* f = std::fopen(path.c_str(), "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

}  // namespace

int main() {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string trace = std::string(self) + ".trace";
    const std::string end = std::string(self) + ".end";

    Append(trace, "started pid=" + std::to_string(GetCurrentProcessId()) +
                      " BRIx=" + std::to_string(ServiceState("BRIx")));
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (GetFileAttributesA(end.c_str()) == INVALID_FILE_ATTRIBUTES &&
           GetTickCount64() < deadline) {
        Sleep(20);
    }
    Append(trace, "ended");
    return 0;
}
