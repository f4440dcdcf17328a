// Test-only (Windows), shared by the tests of the two service programs. In-process: a stand-in
// for the Windows calls behind `win_seam::api()`. Out of process: running a program, and looking
// at, controlling or removing a service in the real Service Control Manager.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/support/wait_until.h"
#include "win_seam/win_api.h"

namespace brix_test {

// Logs every call as a line of text ("Beep 400 100", "ReportEventA warning <text>", the status
// reports as below, else the function's name) and plays the Service Control Manager's dispatcher:
// the service main runs on the calling thread, and only the handle it was given reports. Tests
// make every call on one thread.
class RecordingWinApi final : public win_seam::WinApi {
  public:
    // Installs itself as the process's implementation; the destructor puts the real one back.
    RecordingWinApi() { win_seam::set_api(this); }
    ~RecordingWinApi() override { win_seam::set_api(nullptr); }

    std::string log;      // each line ends in "\n"
    std::string failing;  // the functions whose calls fail, with ERROR_ACCESS_DENIED
    // Called with the function's name once the call is logged, on the caller's thread.
    std::function<void(const std::string& function)> on_call;
    PHANDLER_ROUTINE console_handler = nullptr;  // the last one added

    HANDLE RegisterEventSourceA(LPCSTR, LPCSTR) override {
        return Record("RegisterEventSourceA") ? this : nullptr;
    }
    BOOL ReportEventA(HANDLE, WORD type, WORD, DWORD, PSID, WORD, DWORD, LPCSTR* strings,
                      LPVOID) override {
        const char* kind = type == EVENTLOG_WARNING_TYPE ? "warning "
                           : type == EVENTLOG_ERROR_TYPE ? "error "
                                                         : "other ";
        return Record(std::string("ReportEventA ") + kind + strings[0]);
    }
    BOOL DeregisterEventSource(HANDLE) override { return Record("DeregisterEventSource"); }
    BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) override {
        if (!Record("StartServiceCtrlDispatcherA")) return FALSE;
        table[0].lpServiceProc(0, nullptr);
        return TRUE;
    }
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION) override {
        return Record("RegisterServiceCtrlHandlerA") ? StatusHandle() : nullptr;
    }
    // "SetServiceStatus <state> type=0x<type> accepts=<controls> exit=<Win32>/<service's own>
    // check=<checkpoint> wait=<hint>"
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS s) override {
        char line[160];
        std::snprintf(line, sizeof line,
                      "SetServiceStatus %lu type=0x%lx accepts=%lu exit=%lu/%lu check=%lu wait=%lu",
                      s->dwCurrentState, s->dwServiceType, s->dwControlsAccepted,
                      s->dwWin32ExitCode, s->dwServiceSpecificExitCode, s->dwCheckPoint,
                      s->dwWaitHint);
        return Record(line, handle == StatusHandle());
    }
    BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) override {
        if (add) console_handler = handler;
        return TRUE;
    }
    HANDLE GetStdHandle(DWORD) override { return INVALID_HANDLE_VALUE; }
    BOOL WriteConsoleA(HANDLE, const void*, DWORD, LPDWORD, LPVOID) override { return FALSE; }
    BOOL CharToOemBuffA(LPCSTR, LPSTR, DWORD) override { return FALSE; }
    DWORD FormatMessageA(DWORD, LPCVOID, DWORD code, DWORD, LPSTR buffer, DWORD size,
                         va_list*) override {
        return static_cast<DWORD>(std::snprintf(buffer, size, "system text %lu", code));
    }
    BOOL WinHelpA(HWND, LPCSTR, UINT, ULONG_PTR) override { return FALSE; }
    BOOL Beep(DWORD hz, DWORD ms) override {
        return Record("Beep " + std::to_string(hz) + " " + std::to_string(ms));
    }
    void Sleep(DWORD ms) override { Record("Sleep " + std::to_string(ms)); }  // returns at once

  private:
    SERVICE_STATUS_HANDLE StatusHandle() { return reinterpret_cast<SERVICE_STATUS_HANDLE>(this); }
    // Logs `line`, runs on_call; then fails the call if its function is failing (or with
    // ERROR_INVALID_HANDLE when not `handle_ok`).
    bool Record(const std::string& line, bool handle_ok = true) {
        const std::string function = line.substr(0, line.find(' '));
        log += line + "\n";
        if (on_call) on_call(function);
        const bool fails = failing.find(function) != std::string::npos;
        if (fails || !handle_ok) SetLastError(fails ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return !fails && handle_ok;
    }
};

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

// Runs `program` with `arguments` through the command interpreter, from the temporary folder, and
// waits for it. A program that cannot be started fails the test.
inline ProgramRun run_program(const std::string& program, const std::string& arguments = "") {
    char temp_dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp_dir);
    const std::string command =
        "cd /d \"" + std::string(temp_dir) + "\" && \"" + program + "\" " + arguments + " 2>&1";
    ProgramRun run;
    std::FILE* pipe = _popen(command.c_str(), "rb");
    EXPECT_NE(pipe, nullptr) << command;
    if (pipe == nullptr) return run;
    for (int c; (c = std::fgetc(pipe)) != EOF;) {
        if (c != '\r') run.output += static_cast<char>(c);
    }
    run.exit_code = static_cast<DWORD>(_pclose(pipe));
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

// The current state of the service `name`; 0 when it does not exist.
inline DWORD service_state(const char* name) {
    SERVICE_STATUS status = {};
    with_service(name, SERVICE_QUERY_STATUS,
                 [&status](SC_HANDLE s) { return QueryServiceStatus(s, &status) != 0; });
    return status.dwCurrentState;
}

// Waits until the service `name` is in `state` (0: gone), for at most `deadline`.
inline bool service_reaches_state(const char* name, DWORD state,
                                  std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    return wait_until([=] { return service_state(name) == state; }, deadline);
}

// A service's type, start type, error control and command line.
using ServiceConfig = std::tuple<DWORD, DWORD, DWORD, std::string>;

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

// Starts the service `name` (`control` 0) or sends it `control`; true when the SCM took it.
inline bool control_service(const char* name, DWORD control) {
    return with_service(name, SERVICE_ALL_ACCESS, [control](SC_HANDLE s) {
        SERVICE_STATUS status = {};
        return control == 0 ? StartServiceA(s, 0, nullptr) != 0
                            : ControlService(s, control, &status) != 0;
    });
}

// Stops the service `name` if it runs, deletes it and waits until it is gone; true once it is.
inline bool remove_service(const char* name) {
    control_service(name, SERVICE_CONTROL_STOP);
    with_service(name, DELETE, DeleteService);
    return service_reaches_state(name, 0);
}

}  // namespace brix_test
