// Test-only (Windows), for the tests of the two service programs. In-process: a stand-in for the
// calls behind `win_seam::api()`. Out of process: running a program, and a service in the real
// Service Control Manager.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/support/wait_until.h"
#include "win_seam/win_api.h"

namespace brix_test {

// Records calls ("Beep 400 100", "Sleep 5000", else the name), status reports and events, and
// plays the dispatcher: the service main runs on the calling thread, and only the handle it was
// given reports. An event without a source, or a source left registered, fails the test.
class RecordingWinApi final : public win_seam::WinApi {
  public:
    using Event = std::pair<WORD, std::string>;

    RecordingWinApi() : previous_(win_seam::set_api(this)) {}
    ~RecordingWinApi() override {
        win_seam::set_api(previous_);
        EXPECT_EQ(open_sources_, 0) << "an event source left registered";
    }
    std::vector<DWORD> States() const {
        std::vector<DWORD> states;
        for (const SERVICE_STATUS& s : reports) states.push_back(s.dwCurrentState);
        return states;
    }
    static std::string MessageText(DWORD code) { return "system text " + std::to_string(code); }

    HANDLE RegisterEventSourceA(LPCSTR, LPCSTR) override {
        if (!Record("RegisterEventSourceA")) return nullptr;
        ++open_sources_;
        return kSource;
    }
    BOOL ReportEventA(HANDLE source, WORD type, WORD, DWORD, PSID, WORD, DWORD, LPCSTR* strings,
                      LPVOID) override {
        EXPECT_EQ(source, kSource);
        events.emplace_back(type, strings[0]);
        return TRUE;
    }
    BOOL DeregisterEventSource(HANDLE source) override {
        EXPECT_EQ(source, kSource);
        --open_sources_;
        return TRUE;
    }
    BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) override {
        if (!Record("StartServiceCtrlDispatcherA")) return FALSE;
        table[0].lpServiceProc(0, nullptr);
        return TRUE;
    }
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION) override {
        return Record("RegisterServiceCtrlHandlerA") ? kStatusHandle : nullptr;
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) override {
        return Record("SetServiceStatus", status,
                      handle == kStatusHandle ? 0 : ERROR_INVALID_HANDLE);
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
        return static_cast<DWORD>(std::snprintf(buffer, size, "%s", MessageText(code).c_str()));
    }
    BOOL WinHelpA(HWND, LPCSTR, UINT, ULONG_PTR) override { return FALSE; }
    BOOL Beep(DWORD hz, DWORD ms) override {
        return Record("Beep " + std::to_string(hz) + " " + std::to_string(ms));
    }
    void Sleep(DWORD ms) override { Record("Sleep " + std::to_string(ms)); }

    // Runs after each call is recorded, on the caller's thread; a result other than 0 makes the
    // call fail with that error.
    std::function<DWORD(const std::string& call)> on_call;
    std::vector<std::string> calls;
    std::vector<SERVICE_STATUS> reports;  // calls may come from several threads: read them after
    std::vector<Event> events;
    PHANDLER_ROUTINE console_handler = nullptr;

  private:
    static inline HANDLE const kSource = reinterpret_cast<HANDLE>(0xE5E5);
    static inline SERVICE_STATUS_HANDLE const kStatusHandle =
        reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5757);

    bool Record(const std::string& call, const SERVICE_STATUS* status = nullptr, DWORD error = 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls.push_back(call);
            if (status != nullptr) reports.push_back(*status);
        }
        if (const DWORD failure = on_call ? on_call(call) : 0) error = failure;
        if (error != 0) SetLastError(error);
        return error == 0;
    }

    win_seam::WinApi* previous_;
    std::mutex mutex_;
    int open_sources_ = 0;
};

// The Windows path of a Unix path, as Wine maps it (the Unix root is drive Z:).
inline std::string windows_path(const std::string& unix_path) {
    std::string path = "Z:" + unix_path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// What `program` printed to standard output and error (line ends "\n"), then "exit code N" when
// N is not 0. It runs from the temporary folder, through the command interpreter.
inline std::string run_program(const std::string& program, const std::string& arguments = "") {
    char temp_dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp_dir);
    const std::string command =
        "cd /d \"" + std::string(temp_dir) + "\" && \"" + program + "\" " + arguments + " 2>&1";
    std::FILE* pipe = _popen(command.c_str(), "rb");
    std::string output;
    for (int c; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) {
        if (c != '\r') output += static_cast<char>(c);
    }
    const int code = pipe != nullptr ? _pclose(pipe) : -1;
    return code == 0 ? output : output + "exit code " + std::to_string(code);
}

// Opens the service `name` with `access` and returns what `use` returns; false when it does not
// exist.
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
                 [&](SC_HANDLE s) { return QueryServiceStatus(s, &status); });
    return status.dwCurrentState;
}

inline bool service_reaches_state(const char* name, DWORD state,
                                  std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
    return wait_until([=] { return service_state(name) == state; }, deadline);
}

// A service's type, start type, error control and command line.
using ServiceConfig = std::tuple<DWORD, DWORD, DWORD, std::string>;

inline ServiceConfig service_config(const char* name) {
    alignas(QUERY_SERVICE_CONFIGA) char buffer[8192] = {};
    auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer);
    DWORD needed = 0;
    with_service(name, SERVICE_QUERY_CONFIG, [&](SC_HANDLE s) {
        return QueryServiceConfigA(s, c, sizeof buffer, &needed) != 0;
    });
    const char* path = c->lpBinaryPathName != nullptr ? c->lpBinaryPathName : "";
    return {c->dwServiceType, c->dwStartType, c->dwErrorControl, path};
}

// Starts the service `name` (`control` 0) or sends it `control`; true when the SCM took it.
inline bool control_service(const char* name, DWORD control) {
    return with_service(name, SERVICE_ALL_ACCESS, [control](SC_HANDLE s) {
        SERVICE_STATUS status = {};
        return control == 0 ? StartServiceA(s, 0, nullptr) != 0
                            : ControlService(s, control, &status) != 0;
    });
}

// Stops the service `name` if it runs and deletes it; true once it is gone.
inline bool remove_service(const char* name) {
    control_service(name, SERVICE_CONTROL_STOP);
    with_service(name, DELETE, DeleteService);
    return service_reaches_state(name, 0);
}

}  // namespace brix_test
