// brixsvc: the daemon hosted as the Windows service "BRIx". A console program: "install" and
// "uninstall" (letter case ignored) register and remove the service; any other first argument, or
// none, hands the process to the Service Control Manager, which runs the server in ServiceMain.
// Nothing is printed and the exit status is 0 in every case.
#include "brix_main/service.h"

#include <cstring>
#include <mutex>
#include <string>

#include "brix/brix.h"
#include "brix_main/daemon.h"
#include "brix_main/daemon_config.h"
#include "win_seam/win_api.h"

// Tests compile this unit with another name for the entry point, to call it in-process.
#ifndef BRIXSVC_ENTRY_POINT
#define BRIXSVC_ENTRY_POINT main
#endif

char* serviceName = const_cast<char*>("BRIx");
SERVICE_STATUS serviceStatus;
SERVICE_STATUS_HANDLE serviceStatusHandle = nullptr;
HANDLE stopServiceEvent = nullptr;
// Filled by the Windows Sockets start-up in main.
WSADATA stWSAData;

namespace {

// The service-specific exit code reported when the server could not run (port in use, for
// instance), so that the SCM and the user see the failure.
constexpr DWORD kServerDidNotRun = 1;

// Keeps the control handler from setting the stop event while the service thread closes it: a
// closed handle's number may already belong to another object.
std::mutex stopEventMutex;

// serviceStatus is changed by the service thread (ServiceMain) and by the control handler on the
// dispatcher's thread. Every change happens under this lock, and the handler also reports under
// it; once ServiceMain has marked the service ended, the handler only repeats STOPPED, so STOPPED
// is always the last report. The service thread reports copies outside the lock, because a
// status report may wait for a control the handler is serving.
std::mutex statusMutex;
bool serviceEnded = false;

// Reports serviceStatus as it is. Caller holds statusMutex.
void ReportStatus() { win_seam::api().SetServiceStatus(serviceStatusHandle, &serviceStatus); }

// Service thread: sets the state and the accepted controls, and reports them.
void ReportState(DWORD state, DWORD controlsAccepted) {
    SERVICE_STATUS copy;
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        serviceStatus.dwCurrentState = state;
        serviceStatus.dwControlsAccepted = controlsAccepted;
        copy = serviceStatus;
    }
    win_seam::api().SetServiceStatus(serviceStatusHandle, &copy);
}

// The full path of this program, or "" when it does not fit the 261-character buffer: a cut
// path would name another file.
std::string ProgramPath() {
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path) return "";
    return std::string(path, length);
}

// Makes the folder of this program the current directory, so that "cgi.csv" and the cgilet
// libraries it names by relative path are found beside the program: the SCM starts services in
// the system folder.
void EnterProgramFolder() {
    const std::string path = ProgramPath();
    const std::string::size_type separator = path.find_last_of('\\');
    if (separator == std::string::npos) return;
    SetCurrentDirectoryA(path.substr(0, separator).c_str());
}

}  // namespace

int server_main() {
    return brix_main::run_daemon(BRIX_CONFIG_ADDRESS, BRIX_CONFIG_PORT,
                                 brix_main::built_in_settings());
}

void WINAPI ServiceControlHandler(DWORD controlCode) {
    switch (controlCode) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN: {
            bool ended;
            {
                std::lock_guard<std::mutex> lock(statusMutex);
                ended = serviceEnded;
                if (!ended) serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
                ReportStatus();
            }
            if (ended) return;
            {
                std::lock_guard<std::mutex> lock(stopEventMutex);
                if (stopServiceEvent != nullptr) SetEvent(stopServiceEvent);
            }
            // Nothing waits on the event: the server is led down its stop path directly. A stop
            // that comes before the server is armed is kept and carried out once it is.
            brix::request_stop();
            return;
        }
        default: {
            std::lock_guard<std::mutex> lock(statusMutex);
            ReportStatus();
            return;
        }
    }
}

void WINAPI ServiceMain(DWORD, char**) {
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        serviceEnded = false;
        serviceStatus.dwServiceType = SERVICE_WIN32;
        serviceStatus.dwCurrentState = SERVICE_STOPPED;
        serviceStatus.dwControlsAccepted = 0;
        serviceStatus.dwWin32ExitCode = NO_ERROR;
        serviceStatus.dwServiceSpecificExitCode = 0;
        serviceStatus.dwCheckPoint = 0;
        serviceStatus.dwWaitHint = 0;
    }

    serviceStatusHandle =
        win_seam::api().RegisterServiceCtrlHandlerA(serviceName, ServiceControlHandler);
    if (serviceStatusHandle == nullptr) return;

    ReportState(SERVICE_START_PENDING, 0);

    {
        std::lock_guard<std::mutex> lock(stopEventMutex);
        stopServiceEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }
    const DWORD stopControls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
    ReportState(SERVICE_RUNNING, stopControls);

    EnterProgramFolder();
    const int status = server_main();

    ReportState(SERVICE_STOP_PENDING, stopControls);

    {
        std::lock_guard<std::mutex> lock(stopEventMutex);
        CloseHandle(stopServiceEvent);
        stopServiceEvent = nullptr;
    }

    SERVICE_STATUS last;
    {
        std::lock_guard<std::mutex> lock(statusMutex);
        serviceEnded = true;
        serviceStatus.dwControlsAccepted = 0;
        serviceStatus.dwCurrentState = SERVICE_STOPPED;
        if (status != 0) {
            serviceStatus.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
            serviceStatus.dwServiceSpecificExitCode = kServerDidNotRun;
        }
        last = serviceStatus;
    }
    win_seam::api().SetServiceStatus(serviceStatusHandle, &last);
}

void RunService() {
    SERVICE_TABLE_ENTRYA serviceTable[] = {{serviceName, ServiceMain}, {nullptr, nullptr}};
    win_seam::api().StartServiceCtrlDispatcherA(serviceTable);
}

void InstallService() {
    SC_HANDLE serviceControlManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (serviceControlManager == nullptr) return;
    std::string path = ProgramPath();
    if (!path.empty()) {
        // Unquoted, a path with a space is read by the SCM as a shorter program followed by
        // arguments ("C:\Program Files\..." would run "C:\Program.exe" if it existed).
        if (path.find(' ') != std::string::npos) path = "\"" + path + "\"";
        SC_HANDLE service =
            CreateServiceA(serviceControlManager, serviceName, serviceName, SERVICE_ALL_ACCESS,
                           SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE,
                           path.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        if (service != nullptr) CloseServiceHandle(service);
    }
    CloseServiceHandle(serviceControlManager);
}

void UninstallService() {
    SC_HANDLE serviceControlManager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (serviceControlManager == nullptr) return;
    SC_HANDLE service =
        OpenServiceA(serviceControlManager, serviceName, SERVICE_QUERY_STATUS | DELETE);
    if (service != nullptr) {
        SERVICE_STATUS status;
        if (QueryServiceStatus(service, &status) && status.dwCurrentState == SERVICE_STOPPED) {
            DeleteService(service);
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(serviceControlManager);
}

int BRIXSVC_ENTRY_POINT(int argc, char* argv[]) {
    WSAStartup(0x0101, &stWSAData);
    if (argc > 1 && lstrcmpiA(argv[1], "install") == 0) {
        InstallService();
    } else if (argc > 1 && lstrcmpiA(argv[1], "uninstall") == 0) {
        UninstallService();
    } else {
        RunService();
    }
    return 0;
}
