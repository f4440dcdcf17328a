// The service framework in-process: the Windows calls that Wine cannot honour or observe go to
// the recording stand-in, which also plays the SCM's dispatcher; registry calls are real.
#include "warden/win_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/recording_win_api.h"
#include "tests/support/wait_until.h"

namespace {

using brix_test::RecordingWinApi;
using testing::ElementsAre;
using testing::IsEmpty;

constexpr const char* kName = "BRIxFrameworkTest";

class TestService final : public WinService {
  public:
    explicit TestService(bool init_ok = true) : init_ok_(init_ok) {}

    const char* GetServiceName() override { return kName; }
    void Run() override {
        Note("Run");
        if (body) body();
    }
    bool OnInit() override {
        Note("OnInit");
        return init_ok_;
    }
    void OnExit() override { Note("OnExit"); }
    void OnLogoff() override { Note("OnLogoff"); }
    void OnStopRequest() override {
        Note("OnStopRequest");
        WinService::OnStopRequest();
    }

    std::vector<std::string> Hooks() {
        std::lock_guard<std::mutex> lock(mutex_);
        return hooks_;
    }
    std::string Message() { return message; }
    DWORD State() { return current_state.load(); }

    using WinService::event_source;
    using WinService::message;
    using WinService::status_handle;
    using WinService::stop_requested;

    std::function<void()> body;

  private:
    void Note(const char* hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        hooks_.push_back(hook);
    }

    bool init_ok_;
    std::mutex mutex_;
    std::vector<std::string> hooks_;
};

// The body used when a test sends controls: runs until a stop is requested.
void RunUntilStopped(TestService& service) {
    service.body = [&service] {
        brix_test::wait_until([&service] { return service.IsStopRequested(); },
                              std::chrono::seconds(30));
    };
}

std::string Status(DWORD state) {
    return "0x5757, type 0x10, state " + std::to_string(state) +
           ", controls 5, exit 0/0, check point 0, wait hint 3000";
}

bool HasState(const RecordingWinApi& api, DWORD state) {
    for (DWORD s : api.ReportedStates()) {
        if (s == state) return true;
    }
    return false;
}

TEST(WinServiceConstruction, SetsTheFieldsAndInstallsTheConsoleHandler) {
    RecordingWinApi api;
    {
        TestService service;
        EXPECT_EQ(WinService::instance, &service);
        EXPECT_EQ(service.status_handle, nullptr);
        EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(service.event_source, nullptr);
        EXPECT_FALSE(service.IsStopRequested());
        // The console handler's installation was recorded as a success.
        EXPECT_EQ(service.Message(), RecordingWinApi::MessageText(0));

        std::vector<RecordingWinApi::Call> calls = api.Calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].function, "SetConsoleCtrlHandler");
        EXPECT_EQ(calls[0].arguments, "set, 1");
        EXPECT_EQ(calls[1].function, "FormatMessageA");
        EXPECT_EQ(calls[1].arguments, "0x1000, null, 0, 0x400, 512, null");
    }
    // No event source was registered, so none is deregistered; the instance is gone.
    EXPECT_THAT(api.CallsTo("DeregisterEventSource"), IsEmpty());
    EXPECT_EQ(WinService::instance, nullptr);
}

TEST(WinServiceCheckResult, KeepsTheSystemTextAndNeverTurnsAFailureIntoSuccess) {
    RecordingWinApi api;
    TestService service;

    EXPECT_TRUE(service.CheckResult(true));
    EXPECT_EQ(service.Message(), RecordingWinApi::MessageText(0));

    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(service.CheckResult(false));
    EXPECT_EQ(service.Message(), RecordingWinApi::MessageText(ERROR_ACCESS_DENIED));

    // A failed call that left no last-error code behind is still a failure.
    SetLastError(0);
    EXPECT_FALSE(service.CheckResult(false));
}

TEST(WinServiceUnderTheScm, NormalRunReportsEveryStateWithTheSameRecord) {
    RecordingWinApi api;
    bool ok = false;
    {
        TestService service;
        ok = service.RunAsService();
        EXPECT_THAT(service.Hooks(), ElementsAre("OnInit", "Run", "OnExit"));
        EXPECT_EQ(service.event_source, RecordingWinApi::kEventSource);
    }
    EXPECT_TRUE(ok);
    EXPECT_THAT(api.ArgumentsOf("RegisterEventSourceA"), ElementsAre("null, BRIxFrameworkTest"));
    EXPECT_THAT(api.ArgumentsOf("StartServiceCtrlDispatcherA"), ElementsAre("BRIxFrameworkTest"));
    EXPECT_THAT(api.ArgumentsOf("RegisterServiceCtrlHandlerA"),
                ElementsAre("BRIxFrameworkTest, set"));
    EXPECT_THAT(api.ArgumentsOf("SetServiceStatus"),
                ElementsAre(Status(SERVICE_START_PENDING), Status(SERVICE_RUNNING),
                            Status(SERVICE_STOP_PENDING), Status(SERVICE_STOPPED)));
    EXPECT_THAT(api.CallsTo("ReportEventA"), IsEmpty());
    EXPECT_THAT(api.ArgumentsOf("DeregisterEventSource"), ElementsAre("0xe5e5"));
}

TEST(WinServiceUnderTheScm, StopAndShutdownReportStopPendingAndSetTheFlagDirectly) {
    for (DWORD control :
         {static_cast<DWORD>(SERVICE_CONTROL_STOP), static_cast<DWORD>(SERVICE_CONTROL_SHUTDOWN)}) {
        SCOPED_TRACE(control);
        RecordingWinApi api;
        TestService service;
        RunUntilStopped(service);
        bool ok = false;
        std::thread dispatcher([&] { ok = service.RunAsService(); });
        ASSERT_TRUE(brix_test::wait_until([&] { return HasState(api, SERVICE_RUNNING); }));
        EXPECT_TRUE(api.SendControl(control));
        EXPECT_TRUE(service.IsStopRequested());
        dispatcher.join();

        EXPECT_TRUE(ok);
        EXPECT_THAT(api.ReportedStates(),
                    ElementsAre(SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                SERVICE_STOP_PENDING, SERVICE_STOPPED));
        // The control path does not go through the console's hook.
        EXPECT_THAT(service.Hooks(), ElementsAre("OnInit", "Run", "OnExit"));
    }
}

TEST(WinServiceUnderTheScm, InterrogateRepeatsTheStateAndOtherControlsAreIgnored) {
    RecordingWinApi api;
    TestService service;
    RunUntilStopped(service);
    std::thread dispatcher([&] { service.RunAsService(); });
    ASSERT_TRUE(brix_test::wait_until([&] { return HasState(api, SERVICE_RUNNING); }));

    EXPECT_TRUE(api.SendControl(SERVICE_CONTROL_INTERROGATE));
    EXPECT_TRUE(api.SendControl(SERVICE_CONTROL_PAUSE));
    EXPECT_TRUE(api.SendControl(SERVICE_CONTROL_CONTINUE));
    EXPECT_TRUE(api.SendControl(128));  // a user-defined control
    EXPECT_FALSE(service.IsStopRequested());
    EXPECT_EQ(service.State(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(api.SendControl(SERVICE_CONTROL_STOP));
    dispatcher.join();

    EXPECT_THAT(api.ArgumentsOf("SetServiceStatus"),
                ElementsAre(Status(SERVICE_START_PENDING), Status(SERVICE_RUNNING),
                            Status(SERVICE_RUNNING), Status(SERVICE_STOP_PENDING),
                            Status(SERVICE_STOP_PENDING), Status(SERVICE_STOPPED)));
}

TEST(WinServiceUnderTheScm, FailingOnInitStopsWithoutRunningTheBody) {
    RecordingWinApi api;
    TestService service(false);
    EXPECT_TRUE(service.RunAsService());
    EXPECT_THAT(api.ReportedStates(), ElementsAre(SERVICE_START_PENDING, SERVICE_STOPPED));
    EXPECT_THAT(service.Hooks(), ElementsAre("OnInit"));
}

TEST(WinServiceUnderTheScm, FailedHandlerRegistrationReportsStoppedThroughTheNullHandle) {
    RecordingWinApi api;
    api.Fail("RegisterServiceCtrlHandlerA", ERROR_SERVICE_DOES_NOT_EXIST);
    TestService service;
    EXPECT_TRUE(service.RunAsService());

    EXPECT_THAT(service.Hooks(), IsEmpty());
    EXPECT_THAT(api.ArgumentsOf("SetServiceStatus"),
                ElementsAre("0x0, type 0x10, state 1, controls 5, exit 0/0, check point 0, "
                            "wait hint 3000"));
    // The report through the null handle fails, and that failure is the warning's text.
    EXPECT_THAT(api.ArgumentsOf("ReportEventA"),
                ElementsAre("0xe5e5, type 2, category 0, id 0, sid null, data 0, \"" +
                            RecordingWinApi::MessageText(ERROR_INVALID_HANDLE) + "\""));
}

TEST(WinServiceUnderTheScm, EveryFailedStatusReportIsAWarningAndTheServiceGoesOn) {
    RecordingWinApi api;
    api.Fail("SetServiceStatus", ERROR_ACCESS_DENIED);
    TestService service;
    EXPECT_TRUE(service.RunAsService());

    EXPECT_THAT(service.Hooks(), ElementsAre("OnInit", "Run", "OnExit"));
    const std::string warning = "0xe5e5, type 2, category 0, id 0, sid null, data 0, \"" +
                                RecordingWinApi::MessageText(ERROR_ACCESS_DENIED) + "\"";
    EXPECT_THAT(api.ArgumentsOf("ReportEventA"), ElementsAre(warning, warning, warning, warning));
    // Each warning follows the report it is about.
    std::vector<std::string> order;
    for (const RecordingWinApi::Call& c : api.Calls()) {
        if (c.function == "SetServiceStatus" || c.function == "ReportEventA") {
            order.push_back(c.function);
        }
    }
    EXPECT_THAT(
        order, ElementsAre("SetServiceStatus", "ReportEventA", "SetServiceStatus", "ReportEventA",
                           "SetServiceStatus", "ReportEventA", "SetServiceStatus", "ReportEventA"));
}

TEST(WinServiceUnderTheScm, DispatcherThatCannotConnectWritesAnErrorEvent) {
    RecordingWinApi api;
    api.Fail("StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    TestService service;
    EXPECT_FALSE(service.RunAsService());
    EXPECT_THAT(service.Hooks(), IsEmpty());
    EXPECT_EQ(service.Message(),
              RecordingWinApi::MessageText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
    EXPECT_THAT(
        api.ArgumentsOf("ReportEventA"),
        ElementsAre("0xe5e5, type 1, category 0, id 0, sid null, data 0, \"" +
                    RecordingWinApi::MessageText(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) + "\""));
}

TEST(WinServiceUnderTheScm, EventsAreDroppedWhenNoSourceIsRegistered) {
    RecordingWinApi api;
    api.Fail("RegisterEventSourceA", ERROR_ACCESS_DENIED);
    api.Fail("StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    {
        TestService service;
        EXPECT_FALSE(service.RunAsService());
        service.LogEvent("dropped", EVENTLOG_ERROR_TYPE, 0);
    }
    EXPECT_THAT(api.CallsTo("ReportEventA"), IsEmpty());
    EXPECT_THAT(api.CallsTo("DeregisterEventSource"), IsEmpty());
}

TEST(WinServiceConsole, EventsOtherThanLogoffRequestAStopAndAllAreHandled) {
    RecordingWinApi api;
    for (DWORD event :
         {static_cast<DWORD>(CTRL_C_EVENT), static_cast<DWORD>(CTRL_BREAK_EVENT),
          static_cast<DWORD>(CTRL_CLOSE_EVENT), static_cast<DWORD>(CTRL_SHUTDOWN_EVENT)}) {
        SCOPED_TRACE(event);
        TestService service;
        EXPECT_EQ(WinService::ConsoleHandler(event), TRUE);
        EXPECT_TRUE(service.IsStopRequested());
        EXPECT_THAT(service.Hooks(), ElementsAre("OnStopRequest"));
    }
    TestService service;
    EXPECT_EQ(WinService::ConsoleHandler(CTRL_LOGOFF_EVENT), TRUE);
    EXPECT_FALSE(service.IsStopRequested());
    EXPECT_THAT(service.Hooks(), ElementsAre("OnLogoff"));
}

TEST(WinServiceConsole, TextModeRunsTheBodyWithoutTheScm) {
    RecordingWinApi api;
    {
        TestService service;
        EXPECT_TRUE(service.RunInConsole());
        EXPECT_THAT(service.Hooks(), ElementsAre("OnInit", "Run", "OnExit"));
    }
    {
        TestService service(false);
        EXPECT_FALSE(service.RunInConsole());
        EXPECT_THAT(service.Hooks(), ElementsAre("OnInit"));
    }
    EXPECT_THAT(api.ArgumentsOf("RegisterEventSourceA"),
                ElementsAre("null, BRIxFrameworkTest", "null, BRIxFrameworkTest"));
    EXPECT_THAT(api.CallsTo("SetServiceStatus"), IsEmpty());
    EXPECT_THAT(api.CallsTo("StartServiceCtrlDispatcherA"), IsEmpty());
    EXPECT_EQ(api.CallsTo("DeregisterEventSource").size(), 2u);
}

TEST(WinServiceConsole, PrintStatusWritesTheTitleAndTheMessageToStandardError) {
    RecordingWinApi api;
    TestService service;
    SetLastError(ERROR_FILE_NOT_FOUND);
    service.CheckResult(false);
    const std::string text = RecordingWinApi::MessageText(ERROR_FILE_NOT_FOUND);

    service.PrintStatus("Install");
    EXPECT_THAT(api.ArgumentsOf("WriteConsoleA"),
                ElementsAre("0xeeee, \"\r\n\", 2", "0xeeee, \"Install\", 7", "0xeeee, \"\r\n\", 2",
                            "0xeeee, \"" + text + "\", " + std::to_string(text.size())));
    // The handle is fetched anew for each write; the text goes through the OEM conversion.
    EXPECT_THAT(api.ArgumentsOf("GetStdHandle"),
                ElementsAre("4294967284", "4294967284", "4294967284", "4294967284"));
    EXPECT_THAT(api.ArgumentsOf("CharToOemBuffA"),
                ElementsAre("\"" + text + "\", " + std::to_string(text.size())));

    RecordingWinApi quiet;
    service.PrintStatus("");
    service.PrintStatus(nullptr);
    EXPECT_EQ(quiet.CallsTo("WriteConsoleA").size(), 4u);
    EXPECT_EQ(quiet.ArgumentsOf("WriteConsoleA")[0], "0xeeee, \"\r\n\", 2");
}

TEST(WinServiceHelp, OpensTheExecutablesNamesakeAtAContextOrItsContents) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string help = path;
    help = help.substr(0, help.rfind('.')) + ".hlp";

    RecordingWinApi api;
    TestService service;
    EXPECT_TRUE(service.ShowHelp(0));
    EXPECT_TRUE(service.ShowHelp(42));
    EXPECT_THAT(api.ArgumentsOf("WinHelpA"),
                ElementsAre("null, " + help + ", 3, 0", "null, " + help + ", 1, 42"));

    api.Fail("WinHelpA", ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(service.ShowHelp(0));
}

class WinServiceConfig : public testing::Test {
  protected:
    void SetUp() override { RemoveKey(); }
    void TearDown() override { RemoveKey(); }
    static void RemoveKey() {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE,
                       (std::string("SYSTEM\\CurrentControlSet\\Services\\") + kName).c_str());
    }

    RecordingWinApi api;
};

TEST_F(WinServiceConfig, ValuesOfAnyTypeAreStoredAndReadBackThroughTheRegistry) {
    TestService service;
    DWORD number = 0x12345678;
    char text[] = "C:\\brix\\cgi.csv";
    BYTE bytes[] = {0, 1, 2, 0xFF};
    ASSERT_TRUE(service.WriteConfigValue("Number", reinterpret_cast<BYTE*>(&number), sizeof number,
                                         REG_DWORD));
    ASSERT_TRUE(
        service.WriteConfigValue("Text", reinterpret_cast<BYTE*>(text), sizeof text, REG_SZ));
    ASSERT_TRUE(service.WriteConfigValue("Bytes", bytes, sizeof bytes, REG_BINARY));

    // The value lies under the key of the service's name, whether or not the service exists.
    DWORD direct = 0;
    DWORD direct_size = sizeof direct;
    EXPECT_EQ(RegGetValueA(HKEY_LOCAL_MACHINE,
                           "SYSTEM\\CurrentControlSet\\Services\\BRIxFrameworkTest\\ServiceConfig",
                           "Number", RRF_RT_REG_DWORD, nullptr, &direct, &direct_size),
              ERROR_SUCCESS);
    EXPECT_EQ(direct, number);

    BYTE buffer[64];
    DWORD size = sizeof buffer;
    DWORD type = 0;
    ASSERT_TRUE(service.ReadConfigValue("Text", buffer, &size, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, sizeof text);
    EXPECT_STREQ(reinterpret_cast<char*>(buffer), text);

    size = sizeof buffer;
    ASSERT_TRUE(service.ReadConfigValue("Bytes", buffer, &size, &type));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(size, sizeof bytes);
    EXPECT_EQ(std::memcmp(buffer, bytes, sizeof bytes), 0);
    EXPECT_EQ(service.Message(), RecordingWinApi::MessageText(0));
}

TEST_F(WinServiceConfig, MissingValuesAndShortBuffersFailWithTheRegistrysReason) {
    TestService service;
    BYTE buffer[8];
    std::memset(buffer, 0xAB, sizeof buffer);
    DWORD size = sizeof buffer;
    DWORD type = 0;
    // The registry reports through its result, not the last error: a stale 0 must not hide it.
    SetLastError(0);
    EXPECT_FALSE(service.ReadConfigValue("Missing", buffer, &size, &type));
    EXPECT_EQ(service.Message(), RecordingWinApi::MessageText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(buffer[0], 0) << "the buffer is cleared before the read";

    char text[] = "longer than eight bytes";
    ASSERT_TRUE(
        service.WriteConfigValue("Long", reinterpret_cast<BYTE*>(text), sizeof text, REG_SZ));
    size = sizeof buffer;
    SetLastError(0);
    EXPECT_FALSE(service.ReadConfigValue("Long", buffer, &size, &type));
    EXPECT_EQ(service.Message(), RecordingWinApi::MessageText(ERROR_MORE_DATA));
    EXPECT_EQ(size, sizeof text) << "the size needed is returned";
}

}  // namespace
