// warden in-process (the framework, the detached launcher, the allocation operator) for what
// Wine's Service Control Manager cannot show: status reports, failures, the shutdown control,
// console events, the heartbeat. Then the real programs under the real SCM, the daemon played by
// the stand-in "brix.exe" in the Windows directory: a service's current directory, where the
// command interpreter finds it by name. The registry is real throughout.
#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
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
using testing::ElementsAre;
using Event = std::pair<WORD, std::string>;

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

// The states reported, in order.
std::vector<DWORD> States(const RecordingWinApi& api) {
    std::vector<DWORD> states;
    for (const RecordingWinApi::Call& c : api.Calls("SetServiceStatus")) states.push_back(c.first);
    return states;
}

TEST(WinService, ReportsEveryStateWithOneRecordAndEndsTheBodyOnAStopOrShutdownControl) {
    for (DWORD stop : {DWORD{SERVICE_CONTROL_STOP}, DWORD{SERVICE_CONTROL_SHUTDOWN}}) {
        RecordingWinApi api;
        TestService service;
        // While the body runs: interrogate repeats the state, other codes change nothing.
        api.At("Sleep", 1, [&api, stop] {
            for (DWORD control : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{128}, stop}) {
                EXPECT_TRUE(api.SendControl(control));
            }
        });
        EXPECT_TRUE(service.RunAsService());
        EXPECT_EQ(service.trace, "init run exit ") << "a control is no console event";
        EXPECT_THAT(States(api), ElementsAre(2u, 4u, 4u, 3u, 3u, 1u)) << stop;
        for (const SERVICE_STATUS& s : api.ReportedStatus()) {
            EXPECT_EQ(s.dwServiceType, 0x10u);
            EXPECT_EQ(s.dwControlsAccepted, 5u);
            EXPECT_EQ(s.dwWin32ExitCode + s.dwServiceSpecificExitCode + s.dwCheckPoint, 0u);
            EXPECT_EQ(s.dwWaitHint, 3000u);
        }
        EXPECT_TRUE(api.Events().empty());
    }
}

TEST(WinService, FailuresAreLoggedAndAFailedReportDoesNotStopTheService) {
    const auto text = RecordingWinApi::MessageText;
    {
        // Without a handler the one report, STOPPED, goes through the null handle and fails;
        // a failing OnInit stops without running the body.
        RecordingWinApi api;
        api.Fail("RegisterServiceCtrlHandlerA", ERROR_SERVICE_DOES_NOT_EXIST);
        TestService service(false);
        EXPECT_TRUE(service.RunAsService());
        api.Fail("RegisterServiceCtrlHandlerA", 0);
        EXPECT_TRUE(service.RunAsService());
        EXPECT_EQ(service.trace, "init ");
        EXPECT_THAT(States(api), ElementsAre(1u, 2u, 1u));
        EXPECT_THAT(api.Events(),
                    ElementsAre(Event(EVENTLOG_WARNING_TYPE, text(ERROR_INVALID_HANDLE))));
    }
    {
        RecordingWinApi api;
        api.Fail("SetServiceStatus", ERROR_ACCESS_DENIED);
        TestService service;
        api.At("Sleep", 1, [&service] { service.RequestStop(); });
        EXPECT_TRUE(service.RunAsService());
        EXPECT_EQ(service.trace, "init run exit ");
        const Event warning(EVENTLOG_WARNING_TYPE, text(ERROR_ACCESS_DENIED));
        EXPECT_THAT(api.Events(), ElementsAre(warning, warning, warning, warning));
    }
    RecordingWinApi api;
    api.Fail("StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    {
        TestService service;
        EXPECT_FALSE(service.RunAsService());
        EXPECT_EQ(service.message, text(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
        SetLastError(0);  // a failed call that left no last-error code behind still failed
        EXPECT_FALSE(service.CheckResult(false));
    }
    api.Fail("RegisterEventSourceA", ERROR_ACCESS_DENIED);
    { TestService().RunAsService(); }
    EXPECT_THAT(api.Events(), ElementsAre(Event(EVENTLOG_ERROR_TYPE,
                                                text(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT))))
        << "an error event only where there is a source";
    EXPECT_EQ(api.Calls("DeregisterEventSource").size(), 1u);
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

    // Text mode: the same hooks without the SCM; a failing OnInit runs no body.
    TestService service(false);
    EXPECT_FALSE(service.RunInConsole());
    service.init_ok = true;
    EXPECT_TRUE(service.RunInConsole());
    EXPECT_EQ(service.trace, "init init run unstopped exit ");
    EXPECT_TRUE(api.Calls("SetServiceStatus").empty());
}

TEST(Launcher, TextModeBeatsUntilAStop) {
    using Beat = std::vector<DWORD>;  // function's initial, then its numbers
    const Beat beep{'B', 400, 100}, pause{'S', 5000, 0};
    const std::pair<const char*, std::vector<Beat>> cases[] = {
        {"Sleep", {beep, pause, beep, pause}},  // the stop inside the second pause
        {"RegisterEventSourceA", {}},           // before the first test: no tone at all
    };
    for (const auto& c : cases) {
        RecordingWinApi api;
        api.At(c.first, c.second.empty() ? 1 : 2, [] { WinService::instance->RequestStop(); });
        std::string arguments[] = {"warden", "/t"};
        char* argv[] = {&arguments[0][0], &arguments[1][0], nullptr};
        warden_main(2, argv);
        std::vector<Beat> beats;
        for (const RecordingWinApi::Call& call : api.Calls()) {
            if (call.function == "Beep" || call.function == "Sleep") {
                beats.push_back({DWORD(call.function[0]), call.first, call.second});
            }
        }
        EXPECT_EQ(beats, c.second) << c.first;
    }
}

TEST(WinService, ConfigurationValuesLiveUnderTheServicesKey) {
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
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(read, number);

    // The registry reports through its result, not the last error: a stale 0 must not hide it.
    SetLastError(0);
    EXPECT_FALSE(service.ReadConfigValue("Missing", reinterpret_cast<BYTE*>(&read), &size, &type));
    EXPECT_EQ(service.message, RecordingWinApi::MessageText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(read, 0u) << "the buffer is cleared before the read";
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
}

using Widget = std::pair<int, std::string>;

// Whether `w` was made at __FILE__:`line` and constructed with `value` and "widget".
bool MadeAt(const Widget* w, int line, int value) {
    const debug_new::Site site = debug_new::AllocationSite(w);
    return site.file != nullptr && std::strcmp(site.file, __FILE__) == 0 && site.line == line &&
           *w == Widget(value, "widget");
}

TEST(DebugNew, RecordsTheCallersFileAndLineUntilAPlainDeleteReleasesTheBlock) {
    Widget* widget = DEBUG_NEW Widget(7, "widget");
    EXPECT_TRUE(MadeAt(widget, __LINE__ - 1, 7));
    // Kept as a number: only the address is looked up, the block is not touched.
    volatile std::uintptr_t address = reinterpret_cast<std::uintptr_t>(widget);
    delete widget;
    EXPECT_EQ(debug_new::AllocationSite(reinterpret_cast<const void*>(address)).file, nullptr);
    int* plain = new int(3);
    EXPECT_EQ(debug_new::AllocationSite(plain).file, nullptr) << "plain new is not recorded";
    delete plain;

    // Concurrent allocations keep their own sites. After a release another thread may get the
    // same address at once, so whether the record is gone is checked above, not here.
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 500; ++i) {
                Widget* w = DEBUG_NEW Widget(t, "widget");
                wrong[t] += !MadeAt(w, __LINE__ - 1, t);
                delete w;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
