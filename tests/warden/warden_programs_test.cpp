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

using brix_test::windows_path;

const std::string kDetached = windows_path(WARDEN_DETACHED_EXE);
const std::string kForeground = windows_path(WARDEN_FOREGROUND_EXE);
const std::string kDaemon = "C:\\windows\\brix.exe";
const std::string kDaemonTrace = kDaemon + ".trace";
const std::string kDaemonEnd = kDaemon + ".end";

void Touch(const std::string& path) { std::ofstream(path.c_str()) << "end\n"; }

// Whether the daemon's trace holds `occurrences` lines with `fragment`, polling for a while
// (stopping the detached variant waits for the end of a heartbeat pause, up to 5.1 s).
bool TraceHas(const std::string& fragment, size_t occurrences = 1) {
    return brix_test::wait_until(
        [&] {
            size_t found = 0;
            std::ifstream in(kDaemonTrace.c_str());
            for (std::string line; std::getline(in, line);) {
                found += line.find(fragment) != std::string::npos;
            }
            return found >= occurrences;
        },
        std::chrono::seconds(30));
}

// What `program` printed. Its current directory is the temporary one, where no "brix" lies: the
// command interpreter finds the daemon on the search path, in the Windows directory.
std::string Output(const std::string& program, const std::string& arguments = "") {
    return brix_test::run_program(program, arguments).output;
}

bool ReachesState(DWORD state) { return brix_test::service_reaches_state(kService, state); }

// One value of the event-log key as its bytes; "-" when it or the key is missing, or when its
// type is not among `types` (RRF_RT_* flags).
std::string EventLogValue(const char* name, DWORD types = RRF_RT_ANY) {
    char buffer[1024];
    DWORD size = sizeof buffer;
    return RegGetValueA(HKEY_LOCAL_MACHINE, kEventLogKey, name, types, nullptr, buffer, &size) ==
                   ERROR_SUCCESS
               ? std::string(buffer, size)
               : "-";
}

// Sets a text value of the event-log key, making the key if needed.
void SetEventLogValue(const char* name, const char* text) {
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kEventLogKey, name, REG_SZ, text,
                              static_cast<DWORD>(std::string(text).size() + 1)),
              ERROR_SUCCESS);
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
        EXPECT_TRUE(brix_test::wait_until([] { return DeleteFileA(kDaemon.c_str()) != 0; }));
    }
    static void CleanUp() {
        EXPECT_TRUE(brix_test::remove_service(kService));
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventLogKey);
        DeleteFileA(kDaemonTrace.c_str());
        DeleteFileA(kDaemonEnd.c_str());
    }
};

TEST_F(WardenPrograms, InstallsStopsAndRemovesAServiceWithItsEventSource) {
    for (const char* argument : {"/I", "-i", "/", "i", "/x"}) {
        EXPECT_EQ(Output(kDetached, argument), "") << "selects nothing: " << argument;
    }
    // From a console, text mode runs the daemon as its body; the detached variant without
    // arguments runs it once its dispatcher has failed.
    Touch(kDaemonEnd);
    EXPECT_EQ(Output(kForeground, "/t"), "text mode...\n");
    EXPECT_TRUE(TraceHas("BRIx=0") && TraceHas("ended"));
    EXPECT_EQ(Output(kDetached), "");
    EXPECT_TRUE(TraceHas("ended", 2));

    // A longer argument that begins with "/i" installs; a second argument is ignored.
    EXPECT_EQ(Output(kDetached, "/install /r"), "install service...\n");
    const brix_test::ServiceConfig config = brix_test::service_config(kService);
    EXPECT_EQ(config.type, 0x110u);
    EXPECT_EQ(config.start, static_cast<DWORD>(SERVICE_DEMAND_START));
    EXPECT_EQ(config.error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.path, kDetached) << "the path unquoted, without arguments";
    EXPECT_EQ(EventLogValue("TypesSupported", RRF_RT_REG_DWORD), std::string("\7\0\0\0", 4));
    EXPECT_EQ(EventLogValue("EventMessageFile", RRF_RT_REG_SZ | RRF_NOEXPAND), kDetached + '\0');

    // A second install fails in the SCM, prints its title all the same and leaves the first
    // run's event source as it was.
    SetEventLogValue("EventMessageFile", "first");
    EXPECT_EQ(Output(kForeground, "/i"), "install service...\n");
    EXPECT_EQ(EventLogValue("EventMessageFile"), std::string("first", 6));

    EXPECT_EQ(Output(kDetached, "/r"), "remove service...\n");
    EXPECT_TRUE(ReachesState(0));
    EXPECT_EQ(EventLogValue("EventMessageFile"), "-");

    // Removing a service that does not exist touches nothing, its event-log key included.
    SetEventLogValue("Marker", "kept");
    EXPECT_EQ(Output(kDetached, "/r"), "remove service...\n");
    EXPECT_EQ(EventLogValue("Marker"), std::string("kept", 5));
}

TEST_F(WardenPrograms, ForegroundVariantLivesExactlyAsLongAsTheDaemon) {
    ASSERT_EQ(Output(kForeground, "/i"), "install service...\n");
    EXPECT_EQ(Output(kForeground, "/s"), "start service...\n");
    ASSERT_TRUE(TraceHas("BRIx=4")) << "the daemon runs as the body of the running service";
    // Without any control: the service stops when the daemon ends by itself.
    Touch(kDaemonEnd);
    ASSERT_TRUE(ReachesState(SERVICE_STOPPED));
    EXPECT_TRUE(TraceHas("ended"));

    // Removal asks for a stop, which leaves the service STOP_PENDING for as long as the daemon
    // runs, and deletes the event source even when the service's deletion fails (already marked).
    DeleteFileA(kDaemonEnd.c_str());
    EXPECT_EQ(Output(kForeground, "/s"), "start service...\n");
    ASSERT_TRUE(TraceHas("BRIx=4", 2));
    ASSERT_TRUE(brix_test::with_service(kService, DELETE, DeleteService));
    EXPECT_EQ(Output(kForeground, "/r"), "remove service...\n");
    EXPECT_EQ(EventLogValue("EventMessageFile"), "-");
    EXPECT_EQ(brix_test::service_status(kService).dwCurrentState,
              static_cast<DWORD>(SERVICE_STOP_PENDING));
    Touch(kDaemonEnd);
    EXPECT_TRUE(ReachesState(0));
}

// A copy of the detached variant in a folder whose name has a space, so its path is quoted.
TEST_F(WardenPrograms, DetachedVariantBeatsUntilStoppedAndOnlyThenStartsTheDaemon) {
    const std::string dir = "C:\\brix test";
    const std::string warden = dir + "\\warden.exe";
    CreateDirectoryA(dir.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(kDetached.c_str(), warden.c_str(), FALSE));
    Touch(kDaemonEnd);  // the daemon stand-in leaves its trace and ends at once

    ASSERT_EQ(Output(warden, "/i"), "install service...\n");
    EXPECT_EQ(brix_test::service_config(kService).path, "\"" + warden + "\"");
    EXPECT_EQ(EventLogValue("EventMessageFile"), warden + '\0') << "a plain path";
    EXPECT_EQ(Output(warden, "/s"), "start service...\n");
    ASSERT_TRUE(ReachesState(SERVICE_RUNNING));
    EXPECT_EQ(GetFileAttributesA(kDaemonTrace.c_str()), INVALID_FILE_ATTRIBUTES)
        << "the body never starts the daemon";

    EXPECT_EQ(Output(warden, "/q"), "stop service...\n");
    ASSERT_TRUE(ReachesState(SERVICE_STOPPED));
    EXPECT_TRUE(TraceHas("BRIx=1")) << "started once the service had stopped";
    EXPECT_TRUE(TraceHas("ended"));
    EXPECT_TRUE(brix_test::remove_service(kService));
    DeleteFileA(warden.c_str());
    RemoveDirectoryA(dir.c_str());
}

}  // namespace
