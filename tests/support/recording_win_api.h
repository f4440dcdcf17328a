// Test-only (Windows): a recording stand-in for `win_seam::api()`, for both service programs.
#pragma once

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>

#include "win_seam/win_api.h"

namespace brix_test {

// Logs each call as a line ("Beep 400 100", "ReportEventA warning <text>", else the function's
// name) and plays the SCM's dispatcher: the service main runs on the calling thread, and only the
// handle it was given reports. Not thread-safe.
class RecordingWinApi final : public win_seam::WinApi {
  public:
    RecordingWinApi() { win_seam::set_api(this); }
    ~RecordingWinApi() override { win_seam::set_api(nullptr); }

    std::string log;      // each line ends in "\n"
    std::string failing;  // the functions whose calls fail, with ERROR_ACCESS_DENIED
    std::function<void(const std::string& function)> on_call;  // once the call is logged
    PHANDLER_ROUTINE console_handler = nullptr;                // the last one added

    HANDLE RegisterEventSourceA(LPCSTR, LPCSTR) override {
        return Record("RegisterEventSourceA") ? this : nullptr;
    }
    BOOL ReportEventA(HANDLE, WORD type, WORD, DWORD, PSID, WORD, DWORD, LPCSTR* strings,
                      LPVOID) override {
        const char* kind = type == EVENTLOG_WARNING_TYPE ? "warning " : "other ";
        return Record("ReportEventA " + std::string(type == EVENTLOG_ERROR_TYPE ? "error " : kind) +
                      strings[0]);
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
    // exit=<Win32>/<service-specific>
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS s) override {
        char line[160];
        std::snprintf(line, sizeof line,
                      "SetServiceStatus %lu type=0x%lx accepts=%lu exit=%lu/%lu check=%lu wait=%lu",
                      s->dwCurrentState, s->dwServiceType, s->dwControlsAccepted,
                      s->dwWin32ExitCode, s->dwServiceSpecificExitCode, s->dwCheckPoint,
                      s->dwWaitHint);
        return Record(line, handle == StatusHandle());  // else ERROR_INVALID_HANDLE
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
    // Logs `line`, runs on_call, then fails the call if its function is failing or not `handle_ok`.
    bool Record(const std::string& line, bool handle_ok = true) {
        const std::string function = line.substr(0, line.find(' '));
        log += line + "\n";
        if (on_call) on_call(function);
        const bool fails = failing.find(function) != std::string::npos;
        if (fails || !handle_ok) SetLastError(fails ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
        return !fails && handle_ok;
    }
};

}  // namespace brix_test
