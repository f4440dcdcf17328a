// The detached launcher in-process: command dispatch and titles, and the heartbeat body, with
// the tone, the pause and the SCM's side played by the recording stand-in.
#include "warden/launcher_service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/recording_win_api.h"
#include "tests/support/wait_until.h"

int warden_main(int argc, char** argv);  // the program's entry point, renamed for this test

namespace {

using brix_test::RecordingWinApi;
using testing::ElementsAre;
using testing::IsEmpty;

// The tone and pause calls, in order.
std::vector<std::string> Heartbeat(const RecordingWinApi& api) {
    std::vector<std::string> beats;
    for (const RecordingWinApi::Call& c : api.Calls()) {
        if (c.function == "Beep" || c.function == "Sleep") {
            beats.push_back(c.function + "(" + c.arguments + ")");
        }
    }
    return beats;
}

// Requests a stop from inside the `count`-th call of `function`.
void StopAt(RecordingWinApi& api, const std::string& function, int count) {
    auto seen = std::make_shared<int>(0);
    api.SetHook([function, count, seen](const RecordingWinApi::Call& call) {
        if (call.function == function && ++*seen == count) WinService::instance->RequestStop();
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

TEST(LauncherDispatch, ArgumentsThatSelectNothingDoNothingAndPrintNothing) {
    for (const char* argument : {"/T", "-t", "/", "t", "", "/x", "//t"}) {
        SCOPED_TRACE(argument);
        RecordingWinApi api;
        EXPECT_EQ(RunEntryPoint({"warden", argument}), "");
        // Only the constructor's console handler and its outcome.
        std::vector<std::string> names;
        for (const RecordingWinApi::Call& c : api.Calls()) names.push_back(c.function);
        EXPECT_THAT(names, ElementsAre("SetConsoleCtrlHandler", "FormatMessageA"));
    }
}

TEST(LauncherDispatch, TextModeBeatsUntilAStopAndPrintsItsTitleAfterwards) {
    RecordingWinApi api;
    // A stop during the second pause is noticed before a third tone.
    StopAt(api, "Sleep", 2);
    // Only the first two characters count, and later arguments are ignored.
    EXPECT_EQ(RunEntryPoint({"warden", "/text", "/i"}), "text mode...\n");
    EXPECT_THAT(Heartbeat(api),
                ElementsAre("Beep(400, 100)", "Sleep(5000)", "Beep(400, 100)", "Sleep(5000)"));
    EXPECT_THAT(api.ArgumentsOf("RegisterEventSourceA"), ElementsAre("null, BRIx"));
    EXPECT_THAT(api.CallsTo("SetServiceStatus"), IsEmpty());
}

TEST(LauncherHeartbeat, AStopRequestedBeforeTheFirstTestMeansNoToneAtAll) {
    RecordingWinApi api;
    StopAt(api, "RegisterEventSourceA", 1);
    EXPECT_EQ(RunEntryPoint({"warden", "/t"}), "text mode...\n");
    EXPECT_THAT(Heartbeat(api), IsEmpty());
}

TEST(LauncherHeartbeat, StopControlDuringThePauseEndsTheBodyWithoutAnotherTone) {
    RecordingWinApi api;
    LauncherService service("none");  // selects no command: only the framework's constructor ran
    EXPECT_STREQ(service.GetServiceName(), "BRIx");
    EXPECT_STREQ(service.GetDisplayName(), "BRIx");

    // The control arrives while the body is in its first pause, as the SCM would send it.
    int pauses = 0;
    api.SetHook([&api, &pauses](const RecordingWinApi::Call& call) {
        if (call.function == "Sleep" && ++pauses == 1) api.SendControl(SERVICE_CONTROL_STOP);
    });
    EXPECT_TRUE(service.RunAsService());

    EXPECT_THAT(Heartbeat(api), ElementsAre("Beep(400, 100)", "Sleep(5000)"));
    EXPECT_THAT(api.ReportedStates(),
                ElementsAre(SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                            SERVICE_STOP_PENDING, SERVICE_STOPPED));
    // The control handler's STOP_PENDING was reported during the pause, before the body ended.
    std::vector<std::string> order;
    for (const RecordingWinApi::Call& c : api.Calls()) {
        if (c.function == "Beep" || c.function == "Sleep" || c.function == "SetServiceStatus") {
            order.push_back(c.function);
        }
    }
    EXPECT_THAT(order, ElementsAre("SetServiceStatus", "SetServiceStatus", "Beep", "Sleep",
                                   "SetServiceStatus", "SetServiceStatus", "SetServiceStatus"));
}

}  // namespace
