// warden in-process (the framework, the detached launcher, the allocation operator) for what
// Wine's Service Control Manager cannot show; then the real programs under the real SCM, the
// daemon played by the stand-in "brix.exe" in the Windows directory: a service's current
// directory, where the command interpreter finds it by name. The registry is real throughout.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/wait_until.h"
#include "tests/support/win_services.h"
#include "warden/debug_new.h"
#include "warden/win_service.h"
#include "win_seam/win_api.h"

int warden_main(int argc, char** argv);  // the program's entry point, renamed for this test

namespace {

using brix_test::RecordingWinApi;
using brix_test::run_program;
using Event = RecordingWinApi::Event;
const auto text = RecordingWinApi::MessageText;

constexpr const char* kName = "BRIxFrameworkTest";

// A service of its own name whose OnInit may fail; it notes each hook in `trace`. Its body pauses
// once (through the stand-in, so at once): tests request the stop from inside that pause.
class TestService final : public WinService {
  public:
    explicit TestService(bool init_ok = true) : init_ok(init_ok) {}
    const char* GetServiceName() override { return kName; }
    bool OnInit() override { return trace += "init ", init_ok; }
    void Run() override {
        win_seam::api().Sleep(0);
        trace += IsStopRequested() ? "run " : "run unstopped ";
    }
    void OnExit() override { trace += "exit "; }
    void OnLogoff() override { trace += "logoff "; }
    void OnStopRequest() override {
        trace += "stop ";
        WinService::OnStopRequest();
    }
    using WinService::message;

    bool init_ok;
    std::string trace;
};

// A run stopped from inside the body, after an interrogation (which repeats the state) and a user
// code (which changes nothing), by a control or by RequestStop (0). Failed reports are logged as
// warnings, the failed dispatcher as an error, where there is an event source.
TEST(WinService, ReportsEveryStateAndLogsFailuresWithoutStopping) {
    const Event denied(EVENTLOG_WARNING_TYPE, text(ERROR_ACCESS_DENIED));
    const Event no_handle(EVENTLOG_WARNING_TYPE, text(ERROR_INVALID_HANDLE));
    const Event no_scm(EVENTLOG_ERROR_TYPE, text(ERROR_ACCESS_DENIED));
    const char* ran = "init run exit ";
    struct Case {
        std::vector<std::string> failing;
        bool init_ok;
        DWORD stop;
        bool result;
        const char* trace;
        std::vector<DWORD> states;
        std::vector<Event> events;
    };
    const Case cases[] = {
        {{}, true, SERVICE_CONTROL_STOP, true, ran, {2, 4, 4, 3, 3, 1}, {}},
        {{}, true, SERVICE_CONTROL_SHUTDOWN, true, ran, {2, 4, 4, 3, 3, 1}, {}},
        {{}, false, 0, true, "init ", {2, 1}, {}},
        // Without a handler the one report, STOPPED, goes through the null handle.
        {{"RegisterServiceCtrlHandlerA"}, true, 0, true, "", {1}, {no_handle}},
        {{"SetServiceStatus"}, true, 0, true, ran, {2, 4, 4, 3, 1}, std::vector<Event>(5, denied)},
        {{"StartServiceCtrlDispatcherA"}, true, 0, false, "", {}, {no_scm}},
        {{"StartServiceCtrlDispatcherA", "RegisterEventSourceA"}, true, 0, false, "", {}, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        RecordingWinApi api;
        TestService service(c.init_ok);
        api.on_call = [&](const std::string& call) -> DWORD {
            if (call == "Sleep 0") {
                for (DWORD control : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{128}, c.stop}) {
                    WinService::ControlHandler(control);
                }
                if (c.stop == 0) service.RequestStop();
            }
            return std::count(c.failing.begin(), c.failing.end(), call) > 0 ? ERROR_ACCESS_DENIED
                                                                            : 0;
        };
        EXPECT_EQ(service.RunAsService(), c.result);
        EXPECT_EQ(service.trace, c.trace);
        EXPECT_EQ(api.States(), c.states);
        EXPECT_EQ(api.events, c.events);
        for (const SERVICE_STATUS& s : api.reports) {
            EXPECT_EQ(s.dwServiceType, 0x10u);
            EXPECT_EQ(s.dwControlsAccepted, 5u);
            EXPECT_EQ(s.dwWin32ExitCode + s.dwServiceSpecificExitCode + s.dwCheckPoint, 0u);
            EXPECT_EQ(s.dwWaitHint, 3000u);
        }
    }
}

TEST(WinService, ConsoleEventsOtherThanLogoffRequestAStopAndNoneEndsTheProcess) {
    RecordingWinApi api;
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_SHUTDOWN_EVENT,
                        CTRL_LOGOFF_EVENT}) {
        TestService service;
        ASSERT_EQ(api.console_handler, &WinService::ConsoleHandler) << "installed at once";
        EXPECT_EQ(WinService::ConsoleHandler(event), TRUE);
        EXPECT_EQ(service.trace, event == CTRL_LOGOFF_EVENT ? "logoff " : "stop ") << event;
        EXPECT_EQ(service.IsStopRequested(), event != CTRL_LOGOFF_EVENT) << event;
    }
    // The handler stays installed after the service is gone, and must not reach it.
    EXPECT_EQ(WinService::ConsoleHandler(CTRL_C_EVENT), TRUE);

    // Text mode: the same hooks without the SCM; a failing OnInit runs no body.
    for (bool init_ok : {false, true}) {
        TestService service(init_ok);
        EXPECT_EQ(service.RunInConsole(), init_ok);
        EXPECT_EQ(service.trace, init_ok ? "init run unstopped exit " : "init ");
    }
    EXPECT_TRUE(api.reports.empty());
}

// The detached variant's launcher: an argument's first two characters select the command, and
// text mode beats until a stop, which it sees before each tone.
TEST(Launcher, SelectsByTheFirstTwoCharactersAndTextModeBeatsUntilAStop) {
    const std::string tone = "Beep 400 100", pause = "Sleep 5000", source = "RegisterEventSourceA";
    struct Case {
        std::vector<std::string> arguments;
        const char* stop_in;  // a call of this function requests the stop
        std::vector<std::string> calls;
    };
    const Case cases[] = {{{"/t"}, "Sleep", {source, tone, pause}},
                          {{"/tx"}, "RegisterEventSourceA", {source}},
                          {{"/x", "/", "i", "-i", "/I"}, "", {}}};
    for (const Case& c : cases) {
        for (std::string argument : c.arguments) {
            RecordingWinApi api;
            api.on_call = [&c](const std::string& call) {
                if (call.rfind(c.stop_in, 0) == 0) WinService::instance->RequestStop();
                return DWORD{0};
            };
            char name[] = "warden";
            char* argv[] = {name, &argument[0], nullptr};
            std::ostringstream output;
            std::streambuf* const console = std::cout.rdbuf(output.rdbuf());
            warden_main(2, argv);
            std::cout.rdbuf(console);
            EXPECT_EQ(api.calls, c.calls) << argument;
            EXPECT_EQ(output.str(), c.calls.empty() ? "" : "text mode...\n") << argument;
        }
    }
}

TEST(WinService, ConfigurationValuesLiveUnderTheServicesKeyAndFailuresKeepTheirText) {
    const std::string key = std::string("SYSTEM\\CurrentControlSet\\Services\\") + kName;
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
    RecordingWinApi api;
    TestService service;
    DWORD number = 0x12345678, read = 0, size = sizeof read, type = 0;
    ASSERT_TRUE(service.WriteConfigValue("Number", reinterpret_cast<BYTE*>(&number), sizeof number,
                                         REG_DWORD));
    EXPECT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, (key + "\\ServiceConfig").c_str(), "Number",
                           RRF_RT_REG_DWORD, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    ASSERT_TRUE(service.ReadConfigValue("Number", reinterpret_cast<BYTE*>(&read), &size, &type));
    EXPECT_EQ(std::make_pair(type, read), std::make_pair(DWORD{REG_DWORD}, number));

    // The registry reports through its result, not the last error: a stale 0 must not hide it.
    SetLastError(0);
    EXPECT_FALSE(service.ReadConfigValue("Missing", reinterpret_cast<BYTE*>(&read), &size, &type));
    EXPECT_EQ(service.message, text(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(read, 0u) << "the buffer is cleared before the read";
    SetLastError(0);
    EXPECT_FALSE(service.CheckResult(false)) << "a failure that left no last-error code";
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
}

// Sites recorded from several threads at once; a released block's record goes, a plain new has
// none.
TEST(DebugNew, RecordsTheCallersFileAndLineUntilAPlainDeleteReleasesTheBlock) {
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 500; ++i) {
                using Widget = std::pair<int, std::string>;
                Widget* made = DEBUG_NEW Widget(t, "made");
                const debug_new::Site site = debug_new::AllocationSite(made);
                wrong[t] += std::string(site.file ? site.file : "") != __FILE__ ||
                            site.line != __LINE__ - 3 || *made != Widget(t, "made");
                delete made;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
    // Kept as a number: only the address is looked up once released, the block is not touched.
    int* made = DEBUG_NEW int(3);
    volatile std::uintptr_t address = reinterpret_cast<std::uintptr_t>(made);
    delete made;
    EXPECT_EQ(debug_new::AllocationSite(reinterpret_cast<const void*>(address)).file, nullptr);
    int* plain = new int(3);
    EXPECT_EQ(debug_new::AllocationSite(plain).file, nullptr) << "plain new is not recorded";
    delete plain;
}

constexpr const char* kService = "BRIx";
constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\BRIx";

const std::string kDetached = brix_test::windows_path(WARDEN_DETACHED_EXE);
const std::string kForeground = brix_test::windows_path(WARDEN_FOREGROUND_EXE);
const std::string kDaemon = "C:\\windows\\brix.exe";
const std::string kDaemonTrace = kDaemon + ".trace";
const std::string kDaemonEnd = kDaemon + ".end";

void Touch(const std::string& path) { std::ofstream(path.c_str()) << "end\n"; }

// Whether the daemon's trace, a line for each start, becomes `expected` within 30 s (stopping
// the detached variant waits for the end of a heartbeat pause, up to 5.1 s).
bool TraceIs(const std::string& expected) {
    return brix_test::wait_until(
        [&] {
            std::ifstream in(kDaemonTrace.c_str());
            return std::string(std::istreambuf_iterator<char>(in), {}) == expected;
        },
        std::chrono::seconds(30));
}

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

class WardenPrograms : public testing::Test {
  protected:
    void SetUp() override {
        CleanUp();
        ASSERT_TRUE(
            CopyFileA(brix_test::windows_path(BRIX_STAND_IN_EXE).c_str(), kDaemon.c_str(), FALSE));
    }
    void TearDown() override {
        Touch(kDaemonEnd);  // a stand-in still running ends, and can then be deleted
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

TEST_F(WardenPrograms, ForegroundVariantInstallsOnceAndLivesExactlyAsLongAsTheDaemon) {
    // A longer argument that begins with "/i" installs; a second argument is ignored.
    ASSERT_EQ(run_program(kForeground, "/install /r"), "install service...\n");
    EXPECT_EQ(
        brix_test::service_config(kService),
        brix_test::ServiceConfig(0x110, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, kForeground))
        << "the path unquoted, without arguments";
    EXPECT_EQ(EventLogValue("TypesSupported", RRF_RT_REG_DWORD), std::string("\7\0\0\0", 4));
    EXPECT_EQ(EventLogValue("EventMessageFile", RRF_RT_REG_SZ | RRF_NOEXPAND), kForeground + '\0');
    // A second install fails in the SCM, prints its title all the same and leaves the event
    // source as it was.
    ASSERT_EQ(
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, kEventLogKey, "EventMessageFile", REG_SZ, "first", 6),
        ERROR_SUCCESS);
    EXPECT_EQ(run_program(kForeground, "/i"), "install service...\n");
    EXPECT_EQ(EventLogValue("EventMessageFile"), std::string("first", 6));

    // Removal asks for a stop, which leaves the service STOP_PENDING for as long as the daemon
    // runs, and deletes the event source even when the service's deletion fails (already marked).
    // The service ends with the daemon.
    EXPECT_EQ(run_program(kForeground, "/s"), "start service...\n");
    ASSERT_TRUE(TraceIs("BRIx=4\n")) << "the daemon runs as the body of the running service";
    ASSERT_TRUE(brix_test::with_service(kService, DELETE, DeleteService));
    EXPECT_EQ(run_program(kForeground, "/r"), "remove service...\n");
    EXPECT_EQ(EventLogValue("EventMessageFile"), "-");
    EXPECT_EQ(brix_test::service_state(kService), static_cast<DWORD>(SERVICE_STOP_PENDING));
    Touch(kDaemonEnd);
    EXPECT_TRUE(brix_test::service_reaches_state(kService, 0));

    // Removing a service that does not exist touches nothing, its event-log key included.
    ASSERT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, kEventLogKey, "Marker", REG_SZ, "kept", 5),
              ERROR_SUCCESS);
    EXPECT_EQ(run_program(kForeground, "/r"), "remove service...\n");
    EXPECT_EQ(EventLogValue("Marker"), std::string("kept", 5));
}

// A copy of the detached variant in a folder whose name has a space, so its path is quoted.
TEST_F(WardenPrograms, DetachedVariantBeatsUntilStoppedAndOnlyThenStartsTheDaemon) {
    const std::string dir = "C:\\brix test";
    const std::string warden = dir + "\\warden.exe";
    CreateDirectoryA(dir.c_str(), nullptr);
    ASSERT_TRUE(CopyFileA(kDetached.c_str(), warden.c_str(), FALSE));
    Touch(kDaemonEnd);  // the daemon stand-in leaves its trace and ends at once

    ASSERT_EQ(run_program(warden, "/i"), "install service...\n");
    EXPECT_EQ(std::get<3>(brix_test::service_config(kService)), "\"" + warden + "\"");
    EXPECT_EQ(EventLogValue("EventMessageFile"), warden + '\0') << "a plain path";
    EXPECT_EQ(run_program(warden, "/s"), "start service...\n");
    ASSERT_TRUE(brix_test::service_reaches_state(kService, SERVICE_RUNNING));
    EXPECT_TRUE(TraceIs("")) << "the body never starts the daemon";

    EXPECT_EQ(run_program(warden, "/q"), "stop service...\n");
    ASSERT_TRUE(brix_test::service_reaches_state(kService, SERVICE_STOPPED));
    EXPECT_TRUE(TraceIs("BRIx=1\n")) << "started once the service had stopped";
    EXPECT_EQ(run_program(warden, "/r"), "remove service...\n");
    EXPECT_TRUE(brix_test::service_reaches_state(kService, 0));
    // From a console the dispatcher fails, and the daemon is started all the same.
    EXPECT_EQ(run_program(warden), "");
    EXPECT_TRUE(TraceIs("BRIx=1\nBRIx=0\n"));
    DeleteFileA(warden.c_str());
    RemoveDirectoryA(dir.c_str());
}

}  // namespace
