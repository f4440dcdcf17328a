// The real warden programs as separate processes, under the real Service Control Manager and
// registry. The daemon is played by the stand-in "brix.exe", copied for the test into the Windows
// directory: a service's current directory, where the command interpreter finds it by name.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/wait_until.h"

namespace {

constexpr const char* kService = "BRIx";
constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\BRIx";
// Stopping the detached variant waits for the end of a heartbeat pause (up to 5.1 s).
constexpr auto kStateDeadline = std::chrono::seconds(30);

// The build passes Unix paths; Wine maps the Unix root to drive Z:.
std::string WindowsPath(const std::string& unix_path) {
    std::string path = "Z:" + unix_path;
    for (char& c : path) {
        if (c == '/') c = '\\';
    }
    return path;
}

const std::string kDetached = WindowsPath(WARDEN_DETACHED_EXE);
const std::string kForeground = WindowsPath(WARDEN_FOREGROUND_EXE);

std::string WindowsDirectory() {
    char dir[MAX_PATH] = {};
    GetWindowsDirectoryA(dir, MAX_PATH);
    return dir;
}

const std::string kDaemon = WindowsDirectory() + "\\brix.exe";
const std::string kDaemonTrace = kDaemon + ".trace";
const std::string kDaemonEnd = kDaemon + ".end";

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Touch(const std::string& path) { std::ofstream(path.c_str()) << "end\n"; }

std::vector<std::string> TraceLines() {
    std::vector<std::string> lines;
    std::ifstream in(kDaemonTrace.c_str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool TraceHas(const std::string& fragment, size_t occurrences = 1) {
    size_t found = 0;
    for (const std::string& line : TraceLines()) {
        if (line.find(fragment) != std::string::npos) ++found;
    }
    return found >= occurrences;
}

// Runs `program` with `arguments`, its standard output and error going to a file; returns what
// it wrote, with line ends as "\n". Its current directory is the temporary one, where no "brix"
// lies: the command interpreter finds the daemon on the search path, in the Windows directory.
std::string RunProgram(const std::string& program, const std::string& arguments = "") {
    char temp_dir[MAX_PATH] = {};
    char out_path[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp_dir);
    GetTempFileNameA(temp_dir, "wdn", 0, out_path);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(out_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(out, INVALID_HANDLE_VALUE);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out;
    startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    std::string command = "\"" + program + "\"" + (arguments.empty() ? "" : " " + arguments);
    const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        temp_dir, &startup, &process);
    EXPECT_TRUE(started) << command << ": error " << GetLastError();
    CloseHandle(out);
    if (started) {
        // Without an argument the dispatcher waits 10 s under Wine before it gives up.
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 1);
            ADD_FAILURE() << command << " did not end";
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    std::ifstream in(out_path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    in.close();
    DeleteFileA(out_path);
    std::string output;
    for (char c : text.str()) {
        if (c != '\r') output += c;
    }
    return output;
}

// The service's current status; false when it does not exist.
bool QueryStatus(SERVICE_STATUS* status) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return false;
    SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_QUERY_STATUS);
    bool ok = false;
    if (service != nullptr) {
        ok = QueryServiceStatus(service, status) != 0;
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return ok;
}

DWORD State() {
    SERVICE_STATUS status = {};
    return QueryStatus(&status) ? status.dwCurrentState : 0;
}

bool ReachesState(DWORD state) {
    return brix_test::wait_until([state] { return State() == state; }, kStateDeadline);
}

struct Config {
    DWORD type = 0;
    DWORD start = 0;
    DWORD error_control = 0;
    std::string path;
};

bool QueryConfig(Config* config) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return false;
    SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_QUERY_CONFIG);
    bool ok = false;
    if (service != nullptr) {
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        if (QueryServiceConfigA(service, c, static_cast<DWORD>(buffer.size()), &needed)) {
            config->type = c->dwServiceType;
            config->start = c->dwStartType;
            config->error_control = c->dwErrorControl;
            config->path = c->lpBinaryPathName != nullptr ? c->lpBinaryPathName : "";
            ok = true;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return ok;
}

// Stops the service if it runs, deletes it and waits until it is gone.
void RemoveService() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return;
    SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    EXPECT_TRUE(brix_test::wait_until([] { return State() == 0; }, kStateDeadline));
}

bool EventLogKeyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// One value of the event-log key: its type, its bytes.
bool EventLogValue(const char* name, DWORD* type, std::string* data) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    char buffer[1024];
    DWORD size = sizeof buffer;
    const bool ok = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer),
                                     &size) == ERROR_SUCCESS;
    if (ok) data->assign(buffer, size);
    RegCloseKey(key);
    return ok;
}

class WardenPrograms : public testing::Test {
  protected:
    void SetUp() override {
        CleanUp();
        ASSERT_TRUE(CopyFileA(WindowsPath(BRIX_STAND_IN_EXE).c_str(), kDaemon.c_str(), FALSE))
            << "copying the daemon stand-in to " << kDaemon << ": error " << GetLastError();
    }
    void TearDown() override {
        // A stand-in still running ends once its end file appears; then it can be deleted.
        Touch(kDaemonEnd);
        CleanUp();
        EXPECT_TRUE(brix_test::wait_until([] {
            DeleteFileA(kDaemon.c_str());
            return !Exists(kDaemon);
        }));
    }
    static void CleanUp() {
        RemoveService();
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventLogKey);
        DeleteFileA(kDaemonTrace.c_str());
        DeleteFileA(kDaemonEnd.c_str());
    }
};

TEST_F(WardenPrograms, ArgumentsThatSelectNothingPrintNothing) {
    for (const char* argument : {"/I", "-i", "/", "i", "/x"}) {
        EXPECT_EQ(RunProgram(kDetached, argument), "") << argument;
    }
    EXPECT_EQ(State(), 0u) << "nothing was installed";
    EXPECT_FALSE(EventLogKeyExists());
}

TEST_F(WardenPrograms, InstallRegistersADemandStartServiceAndItsEventSource) {
    // A longer argument that begins with "/i" installs; a second argument is ignored.
    EXPECT_EQ(RunProgram(kDetached, "/install /r"), "install service...\n");

    Config config;
    ASSERT_TRUE(QueryConfig(&config));
    EXPECT_EQ(config.type, 0x110u);
    EXPECT_EQ(config.start, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config.error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.path, kDetached) << "the path unquoted, without arguments";
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_STOPPED));

    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(EventLogValue("TypesSupported", &type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(data.data()), 7u);
    ASSERT_TRUE(EventLogValue("EventMessageFile", &type, &data));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(data, kDetached + std::string(1, '\0')) << "the path and its terminating NUL";

    // A second install fails in the SCM, prints its title all the same and leaves the first
    // run's service and event source as they were.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kEventLogKey, 0, KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    const char marker[] = "first run";
    RegSetValueExA(key, "EventMessageFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(marker),
                   sizeof marker);
    RegCloseKey(key);
    EXPECT_EQ(RunProgram(kForeground, "/i"), "install service...\n");
    ASSERT_TRUE(QueryConfig(&config));
    EXPECT_EQ(config.path, kDetached);
    ASSERT_TRUE(EventLogValue("EventMessageFile", &type, &data));
    EXPECT_EQ(data, std::string(marker, sizeof marker));
}

TEST_F(WardenPrograms, StopOfAStoppedServiceAndRemovalPrintTheirTitles) {
    ASSERT_EQ(RunProgram(kDetached, "/i"), "install service...\n");
    EXPECT_EQ(RunProgram(kDetached, "/q"), "stop service...\n");
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_STOPPED));

    EXPECT_EQ(RunProgram(kDetached, "/r"), "remove service...\n");
    EXPECT_TRUE(brix_test::wait_until([] { return State() == 0; }, kStateDeadline));
    EXPECT_FALSE(EventLogKeyExists());

    // Removing a service that does not exist touches nothing, its event-log key included.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, kEventLogKey, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(RunProgram(kDetached, "/r"), "remove service...\n");
    EXPECT_TRUE(EventLogKeyExists());
}

TEST_F(WardenPrograms, DetachedVariantBeatsUntilStoppedAndOnlyThenStartsTheDaemon) {
    Touch(kDaemonEnd);  // the daemon stand-in leaves its trace and ends at once
    ASSERT_EQ(RunProgram(kDetached, "/i"), "install service...\n");
    EXPECT_EQ(RunProgram(kDetached, "/s"), "start service...\n");
    ASSERT_TRUE(ReachesState(SERVICE_RUNNING));
    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryStatus(&status));
    EXPECT_EQ(status.dwControlsAccepted, 5u);
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwWaitHint, 3000u);
    EXPECT_FALSE(Exists(kDaemonTrace)) << "the body never starts the daemon";

    EXPECT_EQ(RunProgram(kDetached, "/q"), "stop service...\n");
    ASSERT_TRUE(ReachesState(SERVICE_STOPPED));
    ASSERT_TRUE(brix_test::wait_until([] { return TraceHas("ended"); }, kStateDeadline));
    // The daemon saw the service already stopped when it started.
    EXPECT_TRUE(TraceHas("BRIx=1")) << TraceLines()[0];

    EXPECT_EQ(RunProgram(kDetached, "/r"), "remove service...\n");
}

TEST_F(WardenPrograms, ForegroundVariantLivesExactlyAsLongAsTheDaemon) {
    ASSERT_EQ(RunProgram(kForeground, "/i"), "install service...\n");
    EXPECT_EQ(RunProgram(kForeground, "/s"), "start service...\n");
    ASSERT_TRUE(brix_test::wait_until([] { return TraceHas("BRIx=4"); }, kStateDeadline))
        << "the daemon runs as the body of the running service";

    // A stop control leaves the service STOP_PENDING for as long as the daemon runs.
    EXPECT_EQ(RunProgram(kForeground, "/q"), "stop service...\n");
    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryStatus(&status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(status.dwCheckPoint, 0u);
    EXPECT_EQ(status.dwWaitHint, 3000u);
    EXPECT_EQ(RunProgram(kForeground, "/s"), "start service...\n");  // refused: not stopped
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_FALSE(TraceHas("ended"));

    Touch(kDaemonEnd);
    ASSERT_TRUE(ReachesState(SERVICE_STOPPED));
    EXPECT_TRUE(TraceHas("ended"));

    // Without any control: the service stops when the daemon ends by itself.
    DeleteFileA(kDaemonEnd.c_str());
    EXPECT_EQ(RunProgram(kForeground, "/s"), "start service...\n");
    ASSERT_TRUE(brix_test::wait_until([] { return TraceHas("BRIx=4", 2); }, kStateDeadline));
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_RUNNING));
    Touch(kDaemonEnd);
    ASSERT_TRUE(ReachesState(SERVICE_STOPPED));
    EXPECT_TRUE(TraceHas("ended", 2));
}

TEST_F(WardenPrograms, RemoveDeletesTheEventSourceEvenWhenTheServiceDeletionFails) {
    ASSERT_EQ(RunProgram(kForeground, "/i"), "install service...\n");
    ASSERT_EQ(RunProgram(kForeground, "/s"), "start service...\n");
    ASSERT_TRUE(brix_test::wait_until([] { return TraceHas("BRIx=4"); }, kStateDeadline));

    // Mark the running service for deletion, so that the program's own deletion fails.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(DeleteService(service));
    EXPECT_FALSE(DeleteService(service)) << "a second deletion of a marked service fails";
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    ASSERT_TRUE(EventLogKeyExists());

    EXPECT_EQ(RunProgram(kForeground, "/r"), "remove service...\n");
    EXPECT_FALSE(EventLogKeyExists());

    Touch(kDaemonEnd);
    EXPECT_TRUE(brix_test::wait_until([] { return State() == 0; }, kStateDeadline));
}

TEST_F(WardenPrograms, ForegroundTextModeRunsTheDaemonAndPrintsItsTitleWhenItEnds) {
    Touch(kDaemonEnd);
    EXPECT_EQ(RunProgram(kForeground, "/t"), "text mode...\n");
    EXPECT_TRUE(TraceHas("BRIx=0"));
    EXPECT_TRUE(TraceHas("ended"));
}

// The one run of the dispatcher's 10-second failure outside the SCM.
TEST_F(WardenPrograms, DetachedVariantWithoutArgumentsFromAConsoleStillStartsTheDaemon) {
    Touch(kDaemonEnd);
    EXPECT_EQ(RunProgram(kDetached), "");
    EXPECT_TRUE(brix_test::wait_until([] { return TraceHas("ended"); }, kStateDeadline));
}

}  // namespace
