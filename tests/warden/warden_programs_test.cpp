// The real warden programs as separate processes, under the real Service Control Manager and
// registry. The daemon is played by the stand-in "brix.exe", copied for the test into the Windows
// directory: a service's current directory, where the command interpreter finds it by name.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/scm_service.h"
#include "tests/support/wait_until.h"

namespace {

constexpr const char* kService = "BRIx";
constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\BRIx";
// Stopping the detached variant waits for the end of a heartbeat pause (up to 5.1 s).
constexpr auto kStateDeadline = std::chrono::seconds(30);

using brix_test::windows_path;

const std::string kDetached = windows_path(WARDEN_DETACHED_EXE);
const std::string kForeground = windows_path(WARDEN_FOREGROUND_EXE);

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

// Runs `program` with `arguments` and returns what it printed. Its current directory is the
// temporary one, where no "brix" lies: the command interpreter finds the daemon on the search path,
// in the Windows directory.
std::string RunProgram(const std::string& program, const std::string& arguments = "") {
    return brix_test::run_program(program, arguments).output;
}

bool QueryStatus(SERVICE_STATUS* status) {
    return brix_test::query_service_status(kService, status);
}

DWORD State() { return brix_test::service_state(kService); }

bool ReachesState(DWORD state) {
    return brix_test::service_reaches_state(kService, state, kStateDeadline);
}

bool QueryConfig(brix_test::ServiceConfig* config) {
    return brix_test::query_service_config(kService, config);
}

void RemoveService() { EXPECT_TRUE(brix_test::remove_service(kService, kStateDeadline)); }

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
        ASSERT_TRUE(CopyFileA(windows_path(BRIX_STAND_IN_EXE).c_str(), kDaemon.c_str(), FALSE))
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

    brix_test::ServiceConfig config;
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
    EXPECT_EQ(std::string(data.c_str()), kDetached);

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
    EXPECT_EQ(State(), static_cast<DWORD>(SERVICE_STOP_PENDING)) << "removal asks for a stop";

    Touch(kDaemonEnd);
    EXPECT_TRUE(brix_test::wait_until([] { return State() == 0; }, kStateDeadline));
}

TEST_F(WardenPrograms, ForegroundTextModeRunsTheDaemonAndPrintsItsTitleWhenItEnds) {
    Touch(kDaemonEnd);
    EXPECT_EQ(RunProgram(kForeground, "/t"), "text mode...\n");
    EXPECT_TRUE(TraceHas("BRIx=0"));
    EXPECT_TRUE(TraceHas("ended"));
}

TEST_F(WardenPrograms, APathWithASpaceIsInstalledQuoted) {
    // Unquoted, the SCM would run C:\brix.exe with the rest of the path as arguments.
    const std::string dir = "C:\\brix test";
    const std::string warden = dir + "\\warden.exe";
    const std::string decoy = "C:\\brix.exe";
    CreateDirectoryA(dir.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(kDetached.c_str(), warden.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(windows_path(BRIX_STAND_IN_EXE).c_str(), decoy.c_str(), FALSE));
    Touch(decoy + ".end");
    Touch(kDaemonEnd);  // the daemon the service starts once stopped ends at once

    EXPECT_EQ(RunProgram(warden, "/i"), "install service...\n");
    brix_test::ServiceConfig config;
    ASSERT_TRUE(QueryConfig(&config));
    EXPECT_EQ(config.path, "\"" + warden + "\"");
    DWORD type = 0;
    std::string data;
    ASSERT_TRUE(EventLogValue("EventMessageFile", &type, &data));
    EXPECT_EQ(data, warden + std::string(1, '\0')) << "the message file stays a plain path";
    EXPECT_EQ(RunProgram(warden, "/s"), "start service...\n");
    EXPECT_TRUE(ReachesState(SERVICE_RUNNING));
    EXPECT_FALSE(Exists(decoy + ".trace"));

    RemoveService();
    EXPECT_TRUE(brix_test::wait_until([] { return TraceHas("ended"); }, kStateDeadline));
    for (const std::string& file : {decoy, decoy + ".end", decoy + ".trace", warden}) {
        DeleteFileA(file.c_str());
    }
    RemoveDirectoryA(dir.c_str());
}

// The one run of the dispatcher's 10-second failure outside the SCM.
TEST_F(WardenPrograms, DetachedVariantWithoutArgumentsFromAConsoleStillStartsTheDaemon) {
    Touch(kDaemonEnd);
    EXPECT_EQ(RunProgram(kDetached), "");
    EXPECT_TRUE(brix_test::wait_until([] { return TraceHas("ended"); }, kStateDeadline));
}

}  // namespace
