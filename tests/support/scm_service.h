// Test-only (Windows): running a program as a separate process, and looking at or removing a
// service in the real Service Control Manager. Shared by the tests of the two service programs.
#pragma once

#include <windows.h>

#include <chrono>
#include <string>

namespace brix_test {

// The Windows path of a Unix path, as Wine maps it (the Unix root is drive Z:).
std::string windows_path(const std::string& unix_path);

struct ProgramRun {
    DWORD exit_code = 0xFFFFFFFF;
    std::string output;  // standard output and error together, line ends as "\n"
};

// Runs `program` with `arguments` and waits for it (a minute at most, then it is ended and the
// test fails). Its current directory is the temporary folder. A program that cannot be started
// fails the test.
ProgramRun run_program(const std::string& program, const std::string& arguments = "");

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
SERVICE_STATUS service_status(const char* name);

// Waits until the service `name` is in `state` (0: gone), for at most `deadline`.
bool service_reaches_state(const char* name, DWORD state,
                           std::chrono::milliseconds deadline = std::chrono::seconds(30));

struct ServiceConfig {
    DWORD type = 0;
    DWORD start = 0;
    DWORD error_control = 0;
    std::string path;
};

// The configuration of the service `name`; a failed check when it does not exist.
ServiceConfig service_config(const char* name);

// Stops the service `name` if it runs, deletes it and waits until it is gone; true once it is.
bool remove_service(const char* name);

}  // namespace brix_test
