// warden in-process, for what Wine's SCM cannot show; the e2e driver runs the programs.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/recording_win_api.h"
#include "warden/debug_new.h"
#include "warden/win_service.h"
#include "win_seam/win_api.h"

int warden_main(int argc, char** argv);  // the program's entry point, renamed for this test

namespace {

using brix_test::RecordingWinApi;

constexpr const char* kName = "BRIxFrameworkTest";

// A service of its own name whose OnInit may fail; it notes each hook in `trace`. When given a
// stop control, its body sends interrogate, an unknown code and that control, as the SCM would.
class TestService final : public WinService {
  public:
    explicit TestService(bool init_ok = true, DWORD stop = 0) : init_ok(init_ok), stop(stop) {}
    const char* GetServiceName() override { return kName; }
    bool OnInit() override { return trace += "init ", init_ok; }
    void Run() override {
        for (DWORD control : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{128}, stop})
            if (stop != 0) ControlHandler(control);
        trace += IsStopRequested() ? "run " : "run unstopped ";
    }
    void OnExit() override { trace += "exit "; }
    void OnLogoff() override { trace += "logoff "; }
    void OnStopRequest() override { trace += "stop ", WinService::OnStopRequest(); }
    using WinService::message;

    bool init_ok;
    DWORD stop;
    std::string trace;
};

// A TestService run as a service with `failing` failing: its message if it failed, hooks, log.
std::string AsService(const std::string& failing, DWORD stop = 0, bool init_ok = true) {
    RecordingWinApi api;
    api.failing = failing;
    const std::string outcome = [&] {  // the service's end is logged too
        TestService service(init_ok, stop);
        const bool ok = service.RunAsService();
        return (ok ? "" : service.message + std::string(", ")) + service.trace + "\n";
    }();
    return outcome + api.log;
}

// Status reports of `states` (digits), each followed by `after`; only the state varies.
std::string Reports(const std::string& states, const std::string& after = "") {
    std::string lines;
    for (char s : states)
        lines += std::string("SetServiceStatus ") + s +
                 " type=0x10 accepts=5 exit=0/0 check=0 wait=3000\n" + after;
    return lines;
}

// The stop and shutdown controls end the body (a control is no console event); interrogate
// repeats the state, other codes change nothing.
TEST(WinService, ReportsEachStateLogsFailuresAndEndsTheBodyOnAStopOrShutdownControl) {
    const std::string dispatch = "RegisterEventSourceA\nStartServiceCtrlDispatcherA\n",
                      main = dispatch + "RegisterServiceCtrlHandlerA\n",
                      end = "DeregisterEventSource\n",
                      denied = "ReportEventA warning system text 5\n";
    for (DWORD stop : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN})
        EXPECT_EQ(AsService("", stop), "init run exit \n" + main + Reports("244331") + end);
    // A failed report is logged and does not stop the service; nor does the unknown code 128.
    EXPECT_EQ(AsService("SetServiceStatus", 128),
              "init run unstopped exit \n" + main + Reports("24431", denied) + end);
    // Without a handler the one report, STOPPED, goes through the null handle and fails.
    EXPECT_EQ(AsService("RegisterServiceCtrlHandlerA"),
              "\n" + main + Reports("1", "ReportEventA warning system text 6\n") + end);
    EXPECT_EQ(AsService("", 0, false), "init \n" + main + Reports("21") + end);
    // The dispatcher's failure: an error event only where there is an event source.
    EXPECT_EQ(AsService("StartServiceCtrlDispatcherA"),
              "system text 5, \n" + dispatch + "ReportEventA error system text 5\n" + end);
    EXPECT_EQ(AsService("RegisterEventSourceA StartServiceCtrlDispatcherA"),
              "system text 5, \n" + dispatch);
}

// Every console event but log-off requests a stop; none ends the process, and the handler, which
// stays installed, must not reach a service that is gone.
TEST(WinService, ConsoleEventsOtherThanLogoffStopNoneEndsTheProcessTextModeAndConfiguration) {
    RecordingWinApi api;
    std::string outcome;
    for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_SHUTDOWN_EVENT,
                        CTRL_LOGOFF_EVENT}) {
        TestService service;
        outcome += std::to_string(api.console_handler(event)) + " ";
        outcome += service.trace + std::to_string(service.IsStopRequested()) + ", ";
    }
    EXPECT_EQ(WinService::instance, nullptr);
    outcome += std::to_string(api.console_handler(CTRL_C_EVENT));
    EXPECT_EQ(outcome, "1 stop 1, 1 stop 1, 1 stop 1, 1 stop 1, 1 logoff 0, 1");

    // Text mode: the same hooks, no SCM call (see the launcher's log); no body after a failed init.
    TestService service(false);
    EXPECT_FALSE(service.RunInConsole());
    service.init_ok = true;
    EXPECT_TRUE(service.RunInConsole());
    EXPECT_EQ(service.trace, "init init run unstopped exit ");

    // Configuration values live under the service's key. A failure leaving no last error behind
    // still fails, and the registry's (its result) must not hide behind a stale 0. The buffer is
    // cleared before the read.
    const std::string key = std::string("SYSTEM\\CurrentControlSet\\Services\\") + kName;
    DWORD number = 0x12345678, read = 0, size = sizeof read, type = 0;
    BYTE* const data = reinterpret_cast<BYTE*>(&read);
    EXPECT_TRUE(service.WriteConfigValue("Number", reinterpret_cast<BYTE*>(&number), 4, REG_DWORD));
    EXPECT_EQ(ERROR_SUCCESS, RegGetValueA(HKEY_LOCAL_MACHINE, (key + "\\ServiceConfig").c_str(),
                                          "Number", RRF_RT_REG_DWORD, nullptr, nullptr, nullptr));
    EXPECT_TRUE(service.ReadConfigValue("Number", data, &size, &type));
    EXPECT_EQ(std::make_pair(type, read), std::make_pair(DWORD{REG_DWORD}, number));
    SetLastError(0);
    EXPECT_FALSE(service.CheckResult(false));
    EXPECT_FALSE(service.ReadConfigValue("Missing", data, &size, &type));
    EXPECT_EQ(service.message + std::string(" ") + std::to_string(read), "system text 2 0");
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
}

TEST(Launcher, TextModeBeatsUntilAStop) {
    const std::string beat = "Beep 400 100\nSleep 5000\n";
    // The stop comes inside the n-th call: the second pause, or before the first flag test.
    for (const auto& [stop_at, beats] : {std::pair<int, std::string>{5, beat + beat}, {1, ""}}) {
        RecordingWinApi api;
        api.on_call = [stop_at = stop_at, calls = 0](const std::string&) mutable {
            if (++calls == stop_at) WinService::instance->RequestStop();
        };
        char* argv[] = {const_cast<char*>("warden"), const_cast<char*>("/t"), nullptr};
        warden_main(2, argv);
        EXPECT_EQ(api.log, "RegisterEventSourceA\n" + beats + "DeregisterEventSource\n");
    }
}

bool MadeAt(const void* block, int line) {
    const debug_new::Site site = debug_new::AllocationSite(block);
    return site.file != nullptr && std::string(site.file) == __FILE__ && site.line == line;
}

// Concurrent allocations keep their own sites; as another thread may get a released address at
// once, whether the record is gone is checked first, on one thread (kept as a number, not touched).
TEST(DebugNew, RecordsTheCallersFileAndLineUntilAPlainDeleteReleasesTheBlock) {
    int* made = DEBUG_NEW int(7);
    int* plain = new int(3);
    EXPECT_EQ(debug_new::AllocationSite(plain).file, nullptr) << "plain new is not recorded";
    volatile std::uintptr_t address = reinterpret_cast<std::uintptr_t>(made);
    delete made;
    delete plain;
    EXPECT_EQ(debug_new::AllocationSite(reinterpret_cast<const void*>(address)).file, nullptr);
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, &wrong] {
            int* blocks[16];
            for (int i = 0; i < 20000; ++i) {
                for (int*& block : blocks) block = DEBUG_NEW int(t);
                for (int* block : blocks) wrong[t] += !MadeAt(block, __LINE__ - 1);
                for (int* block : blocks) delete block;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
