// Test-only: a stand-in for the Windows calls behind `win_seam::api()`. It records the name of
// every call and the few arguments tests read, can be told to fail a function, and plays the
// Service Control Manager's dispatcher so that a service runs in-process.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "win_seam/win_api.h"

namespace brix_test {

class RecordingWinApi final : public win_seam::WinApi {
  public:
    struct Call {
        std::string function;   // the Windows function's name
        std::string arguments;  // what tests read of its arguments (see each function), or ""
    };

    // Installs itself as the process's implementation; the destructor puts the previous one back.
    RecordingWinApi();
    ~RecordingWinApi() override;

    // Every later call of `function` fails: it sets `error` as the last error and returns the
    // function's failure value. Thread safe.
    void Fail(const std::string& function, DWORD error);
    // Called (on the caller's thread, outside any lock) after each call has been recorded.
    void SetHook(std::function<void(const Call&)> hook);

    // All calls so far, in the order they returned (so StartServiceCtrlDispatcherA comes after
    // the calls of the service it ran); the calls of one function; the arguments of each call of
    // one function. Thread safe.
    std::vector<Call> Calls() const;
    std::vector<Call> CallsTo(const std::string& function) const;
    std::vector<std::string> ArgumentsOf(const std::string& function) const;
    // The states passed to SetServiceStatus so far, in order, successful or not.
    std::vector<DWORD> ReportedStates() const;
    // The full status records passed to SetServiceStatus so far.
    std::vector<SERVICE_STATUS> ReportedStatus() const;
    // The events written with ReportEventA: type and first string.
    std::vector<std::pair<WORD, std::string>> Events() const;
    // The console handler last added with SetConsoleCtrlHandler, or null.
    PHANDLER_ROUTINE ConsoleHandler() const;

    // Delivers `control` to the registered control handler on the dispatcher's thread, as the
    // SCM does, and waits until the handler has returned. False when no dispatcher is running a
    // service or no handler is registered.
    bool SendControl(DWORD control);

    // The text FormatMessageA writes for `code`.
    static std::string MessageText(DWORD code);

    // Arguments recorded: the source name.
    HANDLE RegisterEventSourceA(LPCSTR server, LPCSTR source) override;
    BOOL ReportEventA(HANDLE source, WORD type, WORD category, DWORD event_id, PSID user,
                      WORD string_count, DWORD data_size, LPCSTR* strings, LPVOID data) override;
    BOOL DeregisterEventSource(HANDLE source) override;
    // Runs the table's first service main on a thread of its own and serves SendControl on the
    // calling thread until that service main has returned. Arguments recorded: the service names.
    BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) override;
    // Arguments recorded: "NAME, set" (or ", null" without a handler).
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR name,
                                                      LPHANDLER_FUNCTION handler) override;
    // Fails with ERROR_INVALID_HANDLE for any handle but the one RegisterServiceCtrlHandlerA
    // gave, as the SCM does. Arguments recorded: "state S, controls C".
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) override;
    // Keeps the handler for ConsoleHandler when `add` is TRUE.
    BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) override;
    HANDLE GetStdHandle(DWORD which) override;
    BOOL WriteConsoleA(HANDLE console, const void* buffer, DWORD length, LPDWORD written,
                       LPVOID reserved) override;
    BOOL CharToOemBuffA(LPCSTR source, LPSTR destination, DWORD length) override;
    // Writes MessageText(message_id).
    DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language,
                         LPSTR buffer, DWORD size, va_list* arguments) override;
    BOOL WinHelpA(HWND owner, LPCSTR help_file, UINT command, ULONG_PTR data) override;
    // Arguments recorded: "FREQUENCY, DURATION".
    BOOL Beep(DWORD frequency, DWORD duration) override;
    // Returns at once. Arguments recorded: the milliseconds.
    void Sleep(DWORD milliseconds) override;

  private:
    // Records the call and runs the hook; then, when `function` is to fail (or `error` is not 0),
    // sets that error as the last error. Returns whether the call is to succeed.
    bool Record(const std::string& function, const std::string& arguments = "", DWORD error = 0);

    win_seam::WinApi* previous_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    std::vector<SERVICE_STATUS> statuses_;
    std::vector<std::pair<WORD, std::string>> events_;
    std::map<std::string, DWORD> failures_;
    std::function<void(const Call&)> hook_;
    PHANDLER_ROUTINE console_handler_ = nullptr;

    // The dispatcher's state: the registered handler, pending controls, and whether it serves.
    LPHANDLER_FUNCTION handler_ = nullptr;
    std::deque<DWORD> controls_;
    unsigned long long controls_sent_ = 0;
    unsigned long long controls_done_ = 0;
    bool dispatching_ = false;
};

}  // namespace brix_test
