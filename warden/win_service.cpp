#include "warden/win_service.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "win_seam/win_api.h"

namespace {

constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System";
constexpr const char* kConfigKeyFormat = "SYSTEM\\CurrentControlSet\\Services\\%s\\ServiceConfig";
constexpr DWORD kMessageSize = 512;
constexpr DWORD kAcceptedControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
constexpr DWORD kWaitHintMs = 3000;

// `message` is written by the service thread and, through ControlHandler, by the main thread;
// the text is formatted outside this lock and copied whole under it, so a reader never sees two
// texts mixed.
std::mutex message_mutex;

// Opens (creating when missing) the configuration key of `service_name`. Returns the registry's
// result code.
LONG OpenConfigKey(const char* service_name, HKEY* key) {
    char name[256];
    std::snprintf(name, sizeof name, kConfigKeyFormat, service_name);
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, name, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS, nullptr, key, nullptr);
}

// Registry functions return their error code instead of setting the thread's last error; make it
// the last error so that CheckResult records the text of the failure that happened.
bool RegistryOk(LONG result) {
    if (result != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(result));
    return result == ERROR_SUCCESS;
}

}  // namespace

WinService* WinService::instance = nullptr;

WinService::WinService()
    : status_handle(nullptr),
      current_state(SERVICE_STOPPED),
      event_source(nullptr),
      stop_requested(false),
      message() {
    instance = this;
    CheckResult(win_seam::api().SetConsoleCtrlHandler(&WinService::ConsoleHandler, TRUE) != 0);
}

WinService::~WinService() {
    if (event_source != nullptr) win_seam::api().DeregisterEventSource(event_source);
    // The console handler stays installed until the process ends; it must not reach a dead object.
    if (instance == this) instance = nullptr;
}

bool WinService::ShowHelp(DWORD context_id) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    // The help file is the executable's namesake: its extension (from the last dot) becomes .hlp.
    char* dot = std::strrchr(path, '.');
    if (dot != nullptr) {
        const std::size_t room = sizeof path - static_cast<std::size_t>(dot - path);
        std::snprintf(dot, room, ".hlp");
    }
    const BOOL shown = context_id != 0
                           ? win_seam::api().WinHelpA(nullptr, path, HELP_CONTEXT, context_id)
                           : win_seam::api().WinHelpA(nullptr, path, HELP_CONTENTS, 0);
    return shown != 0;
}

const char* WinService::GetDisplayName() { return GetServiceName(); }

bool WinService::OnInit() { return true; }

void WinService::OnExit() {}

void WinService::OnLogoff() {}

void WinService::OnStopRequest() { RequestStop(); }

void WINAPI WinService::ServiceEntry(DWORD /*argc*/, LPSTR* /*argv*/) {
    WinService* service = instance;
    service->status_handle = win_seam::api().RegisterServiceCtrlHandlerA(
        service->GetServiceName(), &WinService::ControlHandler);
    if (!service->CheckResult(service->status_handle != nullptr)) {
        // Reported through the null handle: the report fails and is logged as a warning.
        service->SetStatus(SERVICE_STOPPED);
        return;
    }
    service->SetStatus(SERVICE_START_PENDING);
    if (!service->OnInit()) {
        service->SetStatus(SERVICE_STOPPED);
        return;
    }
    service->SetStatus(SERVICE_RUNNING);
    service->Run();
    service->SetStatus(SERVICE_STOP_PENDING);
    service->OnExit();
    service->SetStatus(SERVICE_STOPPED);
}

void WINAPI WinService::ControlHandler(DWORD control) {
    WinService* service = instance;
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            // The flag is set directly: OnStopRequest belongs to console events.
            service->SetStatus(SERVICE_STOP_PENDING);
            service->stop_requested.store(true);
            break;
        case SERVICE_CONTROL_INTERROGATE:
            service->SetStatus(service->current_state.load());
            break;
        default:
            break;
    }
}

BOOL WINAPI WinService::ConsoleHandler(DWORD event) {
    WinService* service = instance;
    if (service != nullptr) {
        if (event == CTRL_LOGOFF_EVENT) {
            service->OnLogoff();
        } else {
            service->OnStopRequest();
        }
    }
    return TRUE;
}

bool WinService::RecordOutcome(bool ok, char (&text)[512]) {
    const DWORD code = ok ? 0 : GetLastError();
    std::memset(text, 0, sizeof text);
    win_seam::api().FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code,
                                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, kMessageSize,
                                   nullptr);
    text[kMessageSize - 1] = '\0';
    {
        std::lock_guard<std::mutex> lock(message_mutex);
        std::memcpy(message, text, sizeof message);
    }
    // A failure stays a failure even when the call left no last-error code behind.
    return ok;
}

bool WinService::CheckResult(bool ok) {
    char text[kMessageSize];
    return RecordOutcome(ok, text);
}

void WinService::SetStatus(DWORD state) {
    current_state.store(state);
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = kAcceptedControls;
    status.dwWin32ExitCode = 0;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = kWaitHintMs;
    char text[kMessageSize];
    if (!RecordOutcome(win_seam::api().SetServiceStatus(status_handle, &status) != 0, text)) {
        LogEvent(text, EVENTLOG_WARNING_TYPE, 0);
    }
}

void WinService::LogEvent(const char* text, WORD type, WORD category) {
    if (event_source == nullptr) return;
    LPCSTR strings[1] = {text};
    win_seam::api().ReportEventA(event_source, type, category, 0, nullptr, 1, 0, strings, nullptr);
}

bool WinService::OpenOwnService(SC_HANDLE& service) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return CheckResult(false);
    service = OpenServiceA(manager, GetServiceName(), SERVICE_ALL_ACCESS);
    const bool ok = CheckResult(service != nullptr);
    CloseServiceHandle(manager);
    return ok;
}

void WinService::CloseOwnService(SC_HANDLE service) { CloseServiceHandle(service); }

bool WinService::Install() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);

    // Unquoted, a path with a space is read by the SCM as a shorter program followed by
    // arguments: "C:\brix test\warden.exe" would run "C:\brix.exe" if that file existed.
    std::string command = path;
    if (command.find(' ') != std::string::npos) command = "\"" + command + "\"";

    bool installed = false;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (CheckResult(manager != nullptr)) {
        SC_HANDLE service = CreateServiceA(
            manager, GetServiceName(), GetDisplayName(), SERVICE_ALL_ACCESS,
            SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS, SERVICE_DEMAND_START,
            SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        if (CheckResult(service != nullptr)) {
            CloseServiceHandle(service);
            installed = true;
        }
        CloseServiceHandle(manager);
    }
    if (!installed) return false;

    // The event-log source: the executable itself is its message file (the plain path: the event
    // log takes the value whole). Failing to register it leaves the service installed.
    char key_name[MAX_PATH];
    std::snprintf(key_name, sizeof key_name, "%s\\%s", kEventLogKey, GetServiceName());
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, key_name, &key) != ERROR_SUCCESS) return true;
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                   sizeof types);
    RegSetValueExA(key, "EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                   length + 1);
    RegCloseKey(key);
    return true;
}

bool WinService::Remove() {
    Stop();
    SC_HANDLE service = nullptr;
    if (!OpenOwnService(service)) return false;
    const bool deleted = CheckResult(DeleteService(service) != 0);
    CloseOwnService(service);

    // The event-log source goes even when the SCM refused the deletion.
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        RegDeleteKeyA(key, GetServiceName());
        RegCloseKey(key);
    }
    return deleted;
}

bool WinService::Start() {
    SC_HANDLE service = nullptr;
    if (!OpenOwnService(service)) return false;
    const bool ok = CheckResult(StartServiceA(service, 0, nullptr) != 0);
    CloseOwnService(service);
    return ok;
}

bool WinService::Stop() {
    SC_HANDLE service = nullptr;
    if (!OpenOwnService(service)) return false;
    SERVICE_STATUS status = {};
    const bool ok = CheckResult(ControlService(service, SERVICE_CONTROL_STOP, &status) != 0);
    CloseOwnService(service);
    return ok;
}

bool WinService::RunAsService() {
    event_source = win_seam::api().RegisterEventSourceA(nullptr, GetServiceName());
    SERVICE_TABLE_ENTRYA table[] = {
        {const_cast<LPSTR>(GetServiceName()), &WinService::ServiceEntry},
        {nullptr, nullptr},
    };
    char text[kMessageSize];
    const bool ok = RecordOutcome(win_seam::api().StartServiceCtrlDispatcherA(table) != 0, text);
    if (!ok) LogEvent(text, EVENTLOG_ERROR_TYPE, 0);
    return ok;
}

bool WinService::RunInConsole() {
    event_source = win_seam::api().RegisterEventSourceA(nullptr, GetServiceName());
    if (!OnInit()) return false;
    Run();
    OnExit();
    return true;
}

void WinService::PrintStatus(const char* title) {
    win_seam::WinApi& api = win_seam::api();
    DWORD written = 0;
    if (title != nullptr && title[0] != '\0') {
        api.WriteConsoleA(api.GetStdHandle(STD_ERROR_HANDLE), "\r\n", 2, &written, nullptr);
        api.WriteConsoleA(api.GetStdHandle(STD_ERROR_HANDLE), title,
                          static_cast<DWORD>(std::strlen(title)), &written, nullptr);
    }
    char text[kMessageSize];
    {
        std::lock_guard<std::mutex> lock(message_mutex);
        std::memcpy(text, message, sizeof text);
    }
    char oem[kMessageSize] = {};
    api.CharToOemBuffA(text, oem, static_cast<DWORD>(std::strlen(text)));
    api.WriteConsoleA(api.GetStdHandle(STD_ERROR_HANDLE), "\r\n", 2, &written, nullptr);
    api.WriteConsoleA(api.GetStdHandle(STD_ERROR_HANDLE), oem, static_cast<DWORD>(std::strlen(oem)),
                      &written, nullptr);
}

bool WinService::WriteConfigValue(const char* name, BYTE* data, DWORD size, DWORD type) {
    HKEY key = nullptr;
    if (!CheckResult(RegistryOk(OpenConfigKey(GetServiceName(), &key)))) return false;
    const bool ok = CheckResult(RegistryOk(RegSetValueExA(key, name, 0, type, data, size)));
    RegCloseKey(key);
    return ok;
}

bool WinService::ReadConfigValue(const char* name, BYTE* data, DWORD* size, DWORD* type) {
    HKEY key = nullptr;
    if (!CheckResult(RegistryOk(OpenConfigKey(GetServiceName(), &key)))) return false;
    std::memset(data, 0, *size);
    const bool ok = CheckResult(RegistryOk(RegQueryValueExA(key, name, nullptr, type, data, size)));
    RegCloseKey(key);
    return ok;
}

void WinService::RequestStop() { stop_requested.store(true); }

bool WinService::IsStopRequested() { return stop_requested.load(); }
