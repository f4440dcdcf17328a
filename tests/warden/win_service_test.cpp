// The service framework and the detached launcher in-process, for what Wine's Service Control
// Manager cannot show: the status reports themselves, a failed report, a dispatcher that cannot
// connect, the shutdown control, console events and the heartbeat. The recording stand-in plays
// the dispatcher, the event log, the console, the tone and the pause; the registry is real.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/recording_win_api.h"
#include "warden/win_service.h"
#include "win_seam/win_api.h"

int warden_main(int argc, char** argv);  // the program's entry point, renamed for this test

namespace {

using brix_test::RecordingWinApi;
using testing::ElementsAre;
using testing::IsEmpty;
using Event = std::pair<WORD, std::string>;

constexpr const char* kName = "BRIxFrameworkTest";

// A service of its own name whose OnInit may fail; it notes each hook in `trace`. Its body pauses
// once (through the stand-in, so at once): tests request the stop from inside that pause.
class TestService final : public WinService {
  public:
    explicit TestService(bool init_ok = true) : init_ok(init_ok) {}
    const char* GetServiceName() override { return kName; }
    bool OnInit() override {
        trace += "init ";
        return init_ok;
    }
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

// The heartbeat's calls, in order: "Beep(FREQUENCY, DURATION)" and "Sleep(MS)".
std::vector<std::string> Heartbeat(const RecordingWinApi& api) {
    std::vector<std::string> beats;
    for (const RecordingWinApi::Call& c : api.Calls()) {
        if (c.function == "Beep" || c.function == "Sleep") {
            beats.push_back(c.function + "(" + c.arguments + ")");
        }
    }
    return beats;
}

// Runs `action` from inside the `count`-th call of `function`.
void At(RecordingWinApi& api, const std::string& function, int count,
        std::function<void()> action) {
    auto seen = std::make_shared<int>(0);
    api.SetHook([=](const RecordingWinApi::Call& call) {
        if (call.function == function && ++*seen == count) action();
    });
}

std::string RunEntryPoint(std::vector<std::string> arguments) {
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    warden_main(static_cast<int>(arguments.size()), argv.data());
    return testing::internal::GetCapturedStdout();
}

TEST(WinService, ReportsEveryStateWithOneRecordAndEndsTheBodyOnAStopOrShutdownControl) {
    for (DWORD stop : {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN}}) {
        SCOPED_TRACE(stop);
        RecordingWinApi api;
        TestService service;
        // While the body runs: interrogate repeats the state, other codes change nothing.
        At(api, "Sleep", 1, [&api, stop] {
            for (DWORD control : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{128}, stop}) {
                EXPECT_TRUE(api.SendControl(control));
            }
        });
        EXPECT_TRUE(service.RunAsService());
        EXPECT_EQ(service.trace, "init run exit ") << "a control is no console event";
        EXPECT_THAT(api.ReportedStates(),
                    ElementsAre(SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_RUNNING,
                                SERVICE_STOP_PENDING, SERVICE_STOP_PENDING, SERVICE_STOPPED));
        for (const SERVICE_STATUS& s : api.ReportedStatus()) {
            EXPECT_EQ(s.dwServiceType, 0x10u);
            EXPECT_EQ(s.dwControlsAccepted, 5u);
            EXPECT_EQ(s.dwWin32ExitCode + s.dwServiceSpecificExitCode + s.dwCheckPoint, 0u);
            EXPECT_EQ(s.dwWaitHint, 3000u);
        }
        EXPECT_THAT(api.ArgumentsOf("RegisterEventSourceA"), ElementsAre(kName));
        EXPECT_THAT(api.Events(), IsEmpty());
    }
}

TEST(WinService, FailingOnInitStopsWithoutRunningTheBodyInEitherMode) {
    RecordingWinApi api;
    TestService service(false);
    EXPECT_TRUE(service.RunAsService());
    EXPECT_THAT(api.ReportedStates(), ElementsAre(SERVICE_START_PENDING, SERVICE_STOPPED));
    EXPECT_FALSE(service.RunInConsole());
    EXPECT_EQ(service.trace, "init init ");

    service.init_ok = true;  // text mode: the same hooks without the SCM
    EXPECT_TRUE(service.RunInConsole());
    EXPECT_EQ(service.trace, "init init init run unstopped exit ");
    EXPECT_EQ(api.ReportedStates().size(), 2u);
}

TEST(WinService, FailedReportsAreWarningsAndTheServiceGoesOn) {
    {
        // Without a handler the one report, STOPPED, goes through the null handle and fails.
        RecordingWinApi api;
        api.Fail("RegisterServiceCtrlHandlerA", ERROR_SERVICE_DOES_NOT_EXIST);
        TestService service;
        EXPECT_TRUE(service.RunAsService());
        EXPECT_EQ(service.trace, "");
        EXPECT_THAT(api.ReportedStates(), ElementsAre(SERVICE_STOPPED));
        EXPECT_THAT(api.Events(),
                    ElementsAre(Event(EVENTLOG_WARNING_TYPE,
                                      RecordingWinApi::MessageText(ERROR_INVALID_HANDLE))));
    }
    RecordingWinApi api;
    api.Fail("SetServiceStatus", ERROR_ACCESS_DENIED);
    TestService service;
    At(api, "Sleep", 1, [&service] { service.RequestStop(); });
    EXPECT_TRUE(service.RunAsService());
    EXPECT_EQ(service.trace, "init run exit ");
    const Event warning(EVENTLOG_WARNING_TYPE, RecordingWinApi::MessageText(ERROR_ACCESS_DENIED));
    EXPECT_THAT(api.Events(), ElementsAre(warning, warning, warning, warning));
}

TEST(WinService, ADispatcherThatCannotConnectWritesAnErrorEventIfItHasASource) {
    RecordingWinApi api;
    api.Fail("StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    const std::string text = RecordingWinApi::MessageText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    {
        TestService service;
        EXPECT_FALSE(service.RunAsService());
        EXPECT_EQ(std::string(service.message), text);
        // A failed call that left no last-error code behind is still a failure.
        SetLastError(0);
        EXPECT_FALSE(service.CheckResult(false));
    }
    EXPECT_THAT(api.Events(), ElementsAre(Event(EVENTLOG_ERROR_TYPE, text)));
    EXPECT_EQ(api.CallsTo("DeregisterEventSource").size(), 1u);

    api.Fail("RegisterEventSourceA", ERROR_ACCESS_DENIED);
    { TestService().RunAsService(); }
    EXPECT_EQ(api.Events().size(), 1u) << "no source, no event";
    EXPECT_EQ(api.CallsTo("DeregisterEventSource").size(), 1u);
}

TEST(WinService, ConsoleEventsOtherThanLogoffRequestAStopAndNoneEndsTheProcess) {
    RecordingWinApi api;
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_SHUTDOWN_EVENT,
                        CTRL_LOGOFF_EVENT}) {
        TestService service;
        ASSERT_NE(api.ConsoleHandler(), nullptr) << "installed by the constructor";
        EXPECT_EQ(api.ConsoleHandler()(event), TRUE);
        EXPECT_EQ(service.trace, event == CTRL_LOGOFF_EVENT ? "logoff " : "stop ") << event;
        EXPECT_EQ(service.IsStopRequested(), event != CTRL_LOGOFF_EVENT) << event;
    }
    // The handler stays installed after the service is gone, and must not reach it.
    EXPECT_EQ(WinService::instance, nullptr);
    EXPECT_EQ(api.ConsoleHandler()(CTRL_C_EVENT), TRUE);
}

TEST(Launcher, TextModeBeatsUntilAStopAndThenPrintsItsTitle) {
    struct Case {
        const char* stop_in;  // the call inside which the stop is requested
        int count;
        std::vector<std::string> heartbeat;
    };
    const Case cases[] = {
        {"Sleep", 2, {"Beep(400, 100)", "Sleep(5000)", "Beep(400, 100)", "Sleep(5000)"}},
        {"RegisterEventSourceA", 1, {}},  // before the first test: no tone at all
    };
    for (const Case& c : cases) {
        RecordingWinApi api;
        At(api, c.stop_in, c.count, [] { WinService::instance->RequestStop(); });
        // Only the first two characters count, and later arguments are ignored.
        EXPECT_EQ(RunEntryPoint({"warden", "/text", "/i"}), "text mode...\n");
        EXPECT_EQ(Heartbeat(api), c.heartbeat);
        EXPECT_THAT(api.ArgumentsOf("RegisterEventSourceA"), ElementsAre("BRIx"));
        EXPECT_THAT(api.CallsTo("SetServiceStatus"), IsEmpty());
    }
}

TEST(WinService, ConfigurationValuesLiveUnderTheServicesKey) {
    const std::string key = std::string("SYSTEM\\CurrentControlSet\\Services\\") + kName;
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
    RecordingWinApi api;
    TestService service;
    DWORD number = 0x12345678;
    char text[] = "C:\\brix\\cgi.csv";
    ASSERT_TRUE(service.WriteConfigValue("Number", reinterpret_cast<BYTE*>(&number), sizeof number,
                                         REG_DWORD));
    ASSERT_TRUE(
        service.WriteConfigValue("Text", reinterpret_cast<BYTE*>(text), sizeof text, REG_SZ));
    DWORD direct = 0;
    DWORD size = sizeof direct;
    EXPECT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE, (key + "\\ServiceConfig").c_str(), "Number",
                           RRF_RT_REG_DWORD, nullptr, &direct, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(direct, number);

    char buffer[64];
    size = sizeof buffer;
    DWORD type = 0;
    ASSERT_TRUE(service.ReadConfigValue("Text", reinterpret_cast<BYTE*>(buffer), &size, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::string(buffer, size), std::string(text, sizeof text));

    // The registry reports through its result, not the last error: a stale 0 must not hide it.
    SetLastError(0);
    size = sizeof buffer;
    EXPECT_FALSE(service.ReadConfigValue("Missing", reinterpret_cast<BYTE*>(buffer), &size, &type));
    EXPECT_EQ(std::string(service.message), RecordingWinApi::MessageText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(buffer[0], 0) << "the buffer is cleared before the read";
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
}

}  // namespace
