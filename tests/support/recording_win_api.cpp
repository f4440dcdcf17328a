#include "tests/support/recording_win_api.h"

#include <cstdio>
#include <cstring>

namespace brix_test {
namespace {

std::string Text(LPCSTR s) { return s == nullptr ? "null" : std::string(s); }

std::string Hex(unsigned long long value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "0x%llx", value);
    return buffer;
}

std::string Number(unsigned long long value) { return std::to_string(value); }

}  // namespace

HANDLE const RecordingWinApi::kEventSource = reinterpret_cast<HANDLE>(0xE5E5);
SERVICE_STATUS_HANDLE const RecordingWinApi::kStatusHandle =
    reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5757);
HANDLE const RecordingWinApi::kStdError = reinterpret_cast<HANDLE>(0xEEEE);

RecordingWinApi::RecordingWinApi() : previous_(win_seam::set_api(this)) {}

RecordingWinApi::~RecordingWinApi() { win_seam::set_api(previous_); }

void RecordingWinApi::Fail(const std::string& function, DWORD error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_[function] = error;
}

void RecordingWinApi::SetHook(std::function<void(const Call&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    hook_ = std::move(hook);
}

std::vector<RecordingWinApi::Call> RecordingWinApi::Calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<RecordingWinApi::Call> RecordingWinApi::CallsTo(const std::string& function) const {
    std::vector<Call> found;
    for (const Call& c : Calls()) {
        if (c.function == function) found.push_back(c);
    }
    return found;
}

std::vector<std::string> RecordingWinApi::ArgumentsOf(const std::string& function) const {
    std::vector<std::string> found;
    for (const Call& c : CallsTo(function)) found.push_back(c.arguments);
    return found;
}

std::vector<DWORD> RecordingWinApi::ReportedStates() const {
    std::vector<DWORD> states;
    for (const SERVICE_STATUS& s : ReportedStatus()) states.push_back(s.dwCurrentState);
    return states;
}

std::vector<SERVICE_STATUS> RecordingWinApi::ReportedStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_;
}

bool RecordingWinApi::SendControl(DWORD control) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!dispatching_ || handler_ == nullptr) return false;
    controls_.push_back(control);
    const unsigned long long ticket = ++controls_sent_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return controls_done_ >= ticket || !dispatching_; });
    return controls_done_ >= ticket;
}

std::string RecordingWinApi::MessageText(DWORD code) { return "system text " + Number(code); }

DWORD RecordingWinApi::FailureFor(const std::string& function) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = failures_.find(function);
    return it == failures_.end() ? 0 : it->second;
}

void RecordingWinApi::Record(const std::string& function, const std::string& arguments,
                             long long result, DWORD error) {
    std::function<void(const Call&)> hook;
    Call call{function, arguments, std::to_string(result)};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        hook = hook_;
    }
    if (hook) hook(call);
    if (error != 0) SetLastError(error);
}

HANDLE RecordingWinApi::RegisterEventSourceA(LPCSTR server, LPCSTR source) {
    const DWORD error = FailureFor("RegisterEventSourceA");
    HANDLE result = error != 0 ? nullptr : kEventSource;
    Record("RegisterEventSourceA", Text(server) + ", " + Text(source),
           reinterpret_cast<long long>(result), error);
    return result;
}

BOOL RecordingWinApi::ReportEventA(HANDLE source, WORD type, WORD category, DWORD event_id,
                                   PSID user, WORD string_count, DWORD data_size, LPCSTR* strings,
                                   LPVOID data) {
    const DWORD error = FailureFor("ReportEventA");
    std::string arguments = Hex(reinterpret_cast<unsigned long long>(source)) + ", type " +
                            Number(type) + ", category " + Number(category) + ", id " +
                            Number(event_id) + ", sid " + (user == nullptr ? "null" : "set") +
                            ", data " + Number(data_size) + (data == nullptr ? "" : " set");
    for (WORD i = 0; i < string_count; ++i) arguments += ", \"" + Text(strings[i]) + "\"";
    const BOOL result = error != 0 ? FALSE : TRUE;
    Record("ReportEventA", arguments, result, error);
    return result;
}

BOOL RecordingWinApi::DeregisterEventSource(HANDLE source) {
    const DWORD error = FailureFor("DeregisterEventSource");
    const BOOL result = error != 0 ? FALSE : TRUE;
    Record("DeregisterEventSource", Hex(reinterpret_cast<unsigned long long>(source)), result,
           error);
    return result;
}

BOOL RecordingWinApi::StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table) {
    const DWORD error = FailureFor("StartServiceCtrlDispatcherA");
    std::string arguments;
    for (const SERVICE_TABLE_ENTRYA* e = table; e->lpServiceName != nullptr; ++e) {
        arguments += std::string(arguments.empty() ? "" : ", ") + e->lpServiceName;
    }
    if (error != 0) {
        Record("StartServiceCtrlDispatcherA", arguments, FALSE, error);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dispatching_ = true;
    }
    bool service_done = false;
    LPSERVICE_MAIN_FUNCTIONA service_main = table[0].lpServiceProc;
    char* argv[] = {table[0].lpServiceName, nullptr};
    std::thread service([&] {
        service_main(1, argv);
        std::lock_guard<std::mutex> lock(mutex_);
        service_done = true;
        changed_.notify_all();
    });
    // The dispatcher's loop: controls run on this thread, as the SCM runs them on the thread
    // blocked in StartServiceCtrlDispatcher.
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return service_done || !controls_.empty(); });
        if (!controls_.empty()) {
            const DWORD control = controls_.front();
            controls_.pop_front();
            LPHANDLER_FUNCTION handler = handler_;
            lock.unlock();
            handler(control);
            lock.lock();
            ++controls_done_;
            changed_.notify_all();
            continue;
        }
        break;
    }
    dispatching_ = false;
    handler_ = nullptr;
    changed_.notify_all();
    lock.unlock();
    service.join();
    Record("StartServiceCtrlDispatcherA", arguments, TRUE, 0);
    return TRUE;
}

SERVICE_STATUS_HANDLE RecordingWinApi::RegisterServiceCtrlHandlerA(LPCSTR name,
                                                                   LPHANDLER_FUNCTION handler) {
    const DWORD error = FailureFor("RegisterServiceCtrlHandlerA");
    SERVICE_STATUS_HANDLE result = error != 0 ? nullptr : kStatusHandle;
    if (error == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        handler_ = handler;
    }
    Record("RegisterServiceCtrlHandlerA", Text(name) + (handler == nullptr ? ", null" : ", set"),
           reinterpret_cast<long long>(result), error);
    return result;
}

BOOL RecordingWinApi::SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status) {
    DWORD error = FailureFor("SetServiceStatus");
    if (error == 0 && handle != kStatusHandle) error = ERROR_INVALID_HANDLE;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        statuses_.push_back(*status);
    }
    const std::string arguments =
        Hex(reinterpret_cast<unsigned long long>(handle)) + ", type " + Hex(status->dwServiceType) +
        ", state " + Number(status->dwCurrentState) + ", controls " +
        Number(status->dwControlsAccepted) + ", exit " + Number(status->dwWin32ExitCode) + "/" +
        Number(status->dwServiceSpecificExitCode) + ", check point " +
        Number(status->dwCheckPoint) + ", wait hint " + Number(status->dwWaitHint);
    const BOOL result = error != 0 ? FALSE : TRUE;
    Record("SetServiceStatus", arguments, result, error);
    return result;
}

BOOL RecordingWinApi::SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    const DWORD error = FailureFor("SetConsoleCtrlHandler");
    const BOOL result = error != 0 ? FALSE : TRUE;
    Record("SetConsoleCtrlHandler",
           std::string(handler == nullptr ? "null" : "set") + ", " + Number(add), result, error);
    return result;
}

HANDLE RecordingWinApi::GetStdHandle(DWORD which) {
    HANDLE result = which == STD_ERROR_HANDLE ? kStdError : INVALID_HANDLE_VALUE;
    Record("GetStdHandle", Number(static_cast<DWORD>(which)), reinterpret_cast<long long>(result),
           0);
    return result;
}

BOOL RecordingWinApi::WriteConsoleA(HANDLE console, const void* buffer, DWORD length,
                                    LPDWORD written, LPVOID /*reserved*/) {
    const DWORD error = FailureFor("WriteConsoleA");
    const BOOL result = error != 0 ? FALSE : TRUE;
    if (written != nullptr) *written = error != 0 ? 0 : length;
    Record("WriteConsoleA",
           Hex(reinterpret_cast<unsigned long long>(console)) + ", \"" +
               std::string(static_cast<const char*>(buffer), length) + "\", " + Number(length),
           result, error);
    return result;
}

BOOL RecordingWinApi::CharToOemBuffA(LPCSTR source, LPSTR destination, DWORD length) {
    std::memcpy(destination, source, length);
    Record("CharToOemBuffA", "\"" + std::string(source, length) + "\", " + Number(length), TRUE, 0);
    return TRUE;
}

DWORD RecordingWinApi::FormatMessageA(DWORD flags, LPCVOID source, DWORD message_id, DWORD language,
                                      LPSTR buffer, DWORD size, va_list* arguments) {
    const std::string text = MessageText(message_id);
    const DWORD result = size > text.size() ? static_cast<DWORD>(text.size()) : 0;
    if (result != 0) std::memcpy(buffer, text.c_str(), text.size() + 1);
    Record("FormatMessageA",
           Hex(flags) + ", " + (source == nullptr ? "null" : "set") + ", " + Number(message_id) +
               ", " + Hex(language) + ", " + Number(size) + ", " +
               (arguments == nullptr ? "null" : "set"),
           result, 0);
    return result;
}

BOOL RecordingWinApi::WinHelpA(HWND owner, LPCSTR help_file, UINT command, ULONG_PTR data) {
    const DWORD error = FailureFor("WinHelpA");
    const BOOL result = error != 0 ? FALSE : TRUE;
    Record("WinHelpA",
           std::string(owner == nullptr ? "null" : "set") + ", " + Text(help_file) + ", " +
               Number(command) + ", " + Number(data),
           result, error);
    return result;
}

BOOL RecordingWinApi::Beep(DWORD frequency, DWORD duration) {
    Record("Beep", Number(frequency) + ", " + Number(duration), TRUE, 0);
    return TRUE;
}

void RecordingWinApi::Sleep(DWORD milliseconds) { Record("Sleep", Number(milliseconds), 0, 0); }

}  // namespace brix_test
