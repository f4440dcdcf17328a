// Test-only (Windows): running a program as a separate process, and looking at or removing a
// service in the real Service Control Manager. Shared by the tests of the two service programs.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/wait_until.h"

namespace brix_test {

// The Windows path of a Unix path, as Wine maps it (the Unix root is drive Z:).
inline std::string windows_path(const std::string& unix_path) {
    std::string path = "Z:" + unix_path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

struct ProgramRun {
    DWORD exit_code = 0xFFFFFFFF;
    std::string output;  // standard output and error together, line ends as "\n"
};

// Runs `program` with `arguments` and waits for it (a minute at most, then it is ended and the
// test fails). Its current directory is the temporary folder. A program that cannot be started
// fails the test.
inline ProgramRun run_program(const std::string& program, const std::string& arguments = "") {
    char temp_dir[MAX_PATH] = {};
    char out_path[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp_dir);
    GetTempFileNameA(temp_dir, "run", 0, out_path);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(out_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    std::string command = "\"" + program + "\"" + (arguments.empty() ? "" : " " + arguments);
    ProgramRun run;
    const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        temp_dir, &startup, &process);
    EXPECT_TRUE(started) << command << ": error " << GetLastError();
    CloseHandle(out);
    if (started) {
        // A program not started by the SCM may wait a while before its dispatcher gives up.
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 1);
            ADD_FAILURE() << command << " did not end";
        }
        GetExitCodeProcess(process.hProcess, &run.exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    std::ifstream text(out_path, std::ios::binary);
    for (char c; text.get(c);) {
        if (c != '\r') run.output += c;
    }
    text.close();
    DeleteFileA(out_path);
    return run;
}

// Opens the service `name` with `access` and passes its handle to `use` (which returns bool);
// false when it does not exist.
template <typename Use>
bool with_service(const char* name, DWORD access, Use use) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, name, access);
    const bool ok = service != nullptr && use(service);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

// The status of the service `name`; all zero (state 0) when it does not exist.
inline SERVICE_STATUS service_status(const char* name) {
    SERVICE_STATUS status = {};
    with_service(name, SERVICE_QUERY_STATUS,
                 [&status](SC_HANDLE s) { return QueryServiceStatus(s, &status) != 0; });
    return status;
}

// Waits until the service `name` is in `state` (0: gone), for at most `deadline`.
inline bool service_reaches_state(const char* name, DWORD state,
                                  std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    return wait_until([=] { return service_status(name).dwCurrentState == state; }, deadline);
}

struct ServiceConfig {
    DWORD type = 0;
    DWORD start = 0;
    DWORD error_control = 0;
    std::string path;
};

// The configuration of the service `name`; a failed check when it does not exist.
inline ServiceConfig service_config(const char* name) {
    ServiceConfig config;
    EXPECT_TRUE(with_service(name, SERVICE_QUERY_CONFIG, [&config](SC_HANDLE s) {
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        if (!QueryServiceConfigA(s, c, static_cast<DWORD>(buffer.size()), &needed)) return false;
        config = {c->dwServiceType, c->dwStartType, c->dwErrorControl, c->lpBinaryPathName};
        return true;
    })) << name;
    return config;
}

// Stops the service `name` if it runs, deletes it and waits until it is gone; true once it is.
inline bool remove_service(const char* name) {
    with_service(name, SERVICE_ALL_ACCESS, [](SC_HANDLE s) {
        SERVICE_STATUS status = {};
        ControlService(s, SERVICE_CONTROL_STOP, &status);
        return DeleteService(s) != 0;
    });
    return service_reaches_state(name, 0);
}

}  // namespace brix_test
