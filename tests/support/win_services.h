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

// Records the calls tests read, can be told to fail a function or to act from inside one, and
// plays the Service Control Manager's dispatcher so that a service runs in-process. Thread safe.
class RecordingWinApi final : public win_seam::WinApi {
  public:
    // A call: the function's name and the numbers tests read (Beep: frequency and duration,
    // Sleep: the milliseconds, SetServiceStatus: state and controls accepted), else 0.
    struct Call {
        std::string function;
        DWORD first = 0;
        DWORD second = 0;
    };

    // Installs itself as the process's implementation; the destructor puts the previous one back.
    RecordingWinApi() : previous_(win_seam::set_api(this)) {}
    ~RecordingWinApi() override { win_seam::set_api(previous_); }

    // Every later call of `function` fails with `error` as the last error (0: succeeds again).
    void Fail(const std::string& function, DWORD error) {
        UnderLock([&] { failures_[function] = error; });
    }
    // Runs `action` once, inside the `count`-th call of `function`, after recording it (on the
    // caller's thread, outside any lock). Replaces an earlier action.
    void At(const std::string& function, int count, std::function<void()> action) {
        UnderLock([&] {
            action_function_ = function;
            action_count_ = count;
            action_ = std::move(action);
        });
    }

    // The calls so far in order, all or those of `function`; every SetServiceStatus record; the
    // events written (type, first string); the console handler last added, or null.
    std::vector<Call> Calls(const std::string& function = "") const {
        std::vector<Call> found;
        for (const Call& c : Locked(calls_)) {
            if (function.empty() || c.function == function) found.push_back(c);
        }
        return found;
    }
    std::vector<SERVICE_STATUS> ReportedStatus() const { return Locked(statuses_); }
    std::vector<std::pair<WORD, std::string>> Events() const { return Locked(events_); }
    PHANDLER_ROUTINE ConsoleHandler() const { return Locked(console_handler_); }

    // Calls the registered control handler with `control` on the calling thread (the SCM calls it
    // on the dispatcher's thread, another than the service's). False when none is registered.
    bool SendControl(DWORD control) {
        const LPHANDLER_FUNCTION handler = Locked(handler_);
        if (handler != nullptr) handler(control);
        return handler != nullptr;
    }

    // The text FormatMessageA writes for `code`.
    static std::string MessageText(DWORD code) { return "system text " + std::to_string(code); }

    // The Windows calls. StartServiceCtrlDispatcherA runs the table's first service main on the
    // calling thread. SetServiceStatus fails with ERROR_INVALID_HANDLE for any handle but the one
    // RegisterServiceCtrlHandlerA gave, as the SCM does. Sleep returns at once; the console and
    // Windows Help do nothing.
    HANDLE RegisterEventSourceA(LPCSTR, LPCSTR) override {
        return Record({"RegisterEventSourceA"}) ? kEventSource : nullptr;
    }
    BOOL ReportEventA(HANDLE, WORD type, WORD, DWORD, PSID, WORD string_count, DWORD,
                      LPCSTR* strings, LPVOID) override {
        UnderLock([&] { events_.emplace_back(type, string_count > 0 ? strings[0] : ""); });
        return Record({"ReportEventA"});
    }
    BOOL DeregisterEventSource(HANDLE) override { return Record({"DeregisterEventSource"}); }
    BOOL StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) override {
        if (!Record({"StartServiceCtrlDispatcherA"})) return FALSE;
        char* argv[] = {table[0].lpServiceName, nullptr};
        table[0].lpServiceProc(1, argv);
        UnderLock([this] { handler_ = nullptr; });
        return TRUE;
    }
    SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerA(LPCSTR, LPHANDLER_FUNCTION handler) override {
        if (!Record({"RegisterServiceCtrlHandlerA"})) return nullptr;
        UnderLock([&] { handler_ = handler; });
        return kStatusHandle;
    }
    BOOL SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) override {
        UnderLock([&] { statuses_.push_back(*status); });
        return Record({"SetServiceStatus", status->dwCurrentState, status->dwControlsAccepted},
                      handle == kStatusHandle ? 0 : ERROR_INVALID_HANDLE);
    }
    BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) override {
        if (add) UnderLock([&] { console_handler_ = handler; });
        return TRUE;
    }
    HANDLE GetStdHandle(DWORD) override { return INVALID_HANDLE_VALUE; }
    BOOL WriteConsoleA(HANDLE, const void*, DWORD, LPDWORD, LPVOID) override { return FALSE; }
    BOOL CharToOemBuffA(LPCSTR, LPSTR, DWORD) override { return FALSE; }
    DWORD FormatMessageA(DWORD, LPCVOID, DWORD message_id, DWORD, LPSTR buffer, DWORD size,
                         va_list*) override {
        const std::string text = MessageText(message_id);
        if (size <= text.size()) return 0;
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<DWORD>(text.size());
    }
    BOOL WinHelpA(HWND, LPCSTR, UINT, ULONG_PTR) override { return FALSE; }
    BOOL Beep(DWORD frequency, DWORD duration) override {
        return Record({"Beep", frequency, duration});
    }
    void Sleep(DWORD milliseconds) override { Record({"Sleep", milliseconds}); }

  private:
    static inline HANDLE const kEventSource = reinterpret_cast<HANDLE>(0xE5E5);
    static inline SERVICE_STATUS_HANDLE const kStatusHandle =
        reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5757);

    // Records the call and runs a due action; then, when `function` is to fail (or `error` is
    // not 0), sets that error as the last error. Returns whether the call is to succeed.
    bool Record(Call call, DWORD error = 0) {
        std::function<void()> action;
        UnderLock([&] {
            calls_.push_back(call);
            if (call.function == action_function_ && --action_count_ == 0) action.swap(action_);
            auto failure = failures_.find(call.function);
            if (failure != failures_.end()) error = failure->second;
        });
        if (action) action();
        if (error != 0) SetLastError(error);
        return error == 0;
    }
    template <typename Change>
    void UnderLock(Change change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change();
    }
    template <typename T>
    T Locked(const T& member) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return member;
    }

    win_seam::WinApi* previous_;
    mutable std::mutex mutex_;
    std::vector<Call> calls_;
    std::vector<SERVICE_STATUS> statuses_;
    std::vector<std::pair<WORD, std::string>> events_;
    std::map<std::string, DWORD> failures_;
    std::string action_function_;
    int action_count_ = 0;
    std::function<void()> action_;
    PHANDLER_ROUTINE console_handler_ = nullptr;
    LPHANDLER_FUNCTION handler_ = nullptr;  // registered until the service main returns
};

}  // namespace brix_test
