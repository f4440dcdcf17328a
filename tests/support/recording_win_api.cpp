#include "tests/support/recording_win_api.h"

#include <cstring>

namespace brix_test {
namespace {

// Handles the stand-in hands out.
HANDLE const kEventSource = reinterpret_cast<HANDLE>(0xE5E5);
SERVICE_STATUS_HANDLE const kStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5757);

}  // namespace

void RecordingWinApi::Fail(const std::string& function, DWORD error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_[function] = error;
}

void RecordingWinApi::At(const std::string& function, int count, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    action_function_ = function;
    action_count_ = count;
    action_ = std::move(action);
}

std::vector<RecordingWinApi::Call> RecordingWinApi::Calls(const std::string& function) const {
    std::vector<Call> found;
    for (const Call& c : Locked(calls_)) {
        if (function.empty() || c.function == function) found.push_back(c);
    }
    return found;
}

bool RecordingWinApi::SendControl(DWORD control) {
    const LPHANDLER_FUNCTION handler = Locked(handler_);
    if (handler != nullptr) handler(control);
    return handler != nullptr;
}

bool RecordingWinApi::Record(Call call, DWORD error) {
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        if (call.function == action_function_ && --action_count_ == 0) action.swap(action_);
        auto failure = failures_.find(call.function);
        if (failure != failures_.end()) error = failure->second;
    }
    if (action) action();
    if (error != 0) SetLastError(error);
    return error == 0;
}

HANDLE RecordingWinApi::RegisterEventSourceA(LPCSTR, LPCSTR) {
    return Record({"RegisterEventSourceA"}) ? kEventSource : nullptr;
}

BOOL RecordingWinApi::ReportEventA(HANDLE, WORD type, WORD, DWORD, PSID, WORD string_count, DWORD,
                                   LPCSTR* strings, LPVOID) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.emplace_back(type, string_count > 0 ? strings[0] : "");
    }
    return Record({"ReportEventA"});
}

BOOL RecordingWinApi::StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    if (!Record({"StartServiceCtrlDispatcherA"})) return FALSE;
    char* argv[] = {table[0].lpServiceName, nullptr};
    table[0].lpServiceProc(1, argv);
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = nullptr;
    return TRUE;
}

SERVICE_STATUS_HANDLE RecordingWinApi::RegisterServiceCtrlHandlerA(LPCSTR,
                                                                   LPHANDLER_FUNCTION handler) {
    if (!Record({"RegisterServiceCtrlHandlerA"})) return nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = handler;
    return kStatusHandle;
}

BOOL RecordingWinApi::SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses_.push_back(*status);
    }
    return Record({"SetServiceStatus", status->dwCurrentState, status->dwControlsAccepted},
                  handle == kStatusHandle ? 0 : ERROR_INVALID_HANDLE);
}

BOOL RecordingWinApi::SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (add) console_handler_ = handler;
    return TRUE;
}

DWORD RecordingWinApi::FormatMessageA(DWORD, LPCVOID, DWORD message_id, DWORD, LPSTR buffer,
                                      DWORD size, va_list*) {
    const std::string text = MessageText(message_id);
    if (size <= text.size()) return 0;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

}  // namespace brix_test
