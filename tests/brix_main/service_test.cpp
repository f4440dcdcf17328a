// The service host in-process, for what the real Service Control Manager cannot show: every
// status report, a stop that races the server's start or the last report, and a handler that
// cannot be registered. The recording stand-in plays the SCM; the server is the real one (on a
// port of this test's own, serving the example catalog from the test program's folder).
#include "brix_main/service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net_tools/tcp_server.h"
#include "tests/brix_main/request.h"
#include "tests/support/recording_win_api.h"
#include "tests/support/wait_until.h"

int brixsvc_main(int argc, char** argv);  // the program's entry point, renamed for this test

namespace {

using brix_test::RecordingWinApi;
using testing::ElementsAreArray;

constexpr int kPort = BRIXSVC_TEST_PORT;

int RunProgram(std::string argument = "") {
    char name[] = "brixsvc";
    char* argv[] = {name, &argument[0], nullptr};
    return brixsvc_main(argument.empty() ? 1 : 2, argv);
}

bool Serves() { return brix_main_test::ask(kPort, "name=svc\n") == "Hello, svc!\n"; }

TEST(ServiceHost, ReportsEachStateAndStopsOnceWhateverTheMomentOfTheStop) {
    const DWORD kStop = SERVICE_CONTROL_STOP;
    const DWORD kAny[] = {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, 128, kStop};
    struct Case {
        bool port_taken;
        int stop_at_report;  // the stop arrives inside this SetServiceStatus call; 0: once serving
        std::vector<DWORD> controls, states;
        DWORD exit_code;
    };
    const Case cases[] = {
        // Serving: interrogate, pause and user codes re-report the status.
        {false, 0, {kAny, kAny + 4}, {2, 4, 4, 4, 4, 3, 3, 1}, 0},
        // A shutdown before the server is armed.
        {false, 2, {SERVICE_CONTROL_SHUTDOWN}, {2, 4, 3, 3, 1}, 0},
        // A server that cannot listen, and a stop just as STOPPED is reported.
        {true, 4, {kStop}, {2, 4, 3, 1, 1}, ERROR_SERVICE_SPECIFIC_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stop_at_report);
        std::unique_ptr<net_tools::tcp_server> occupant;
        if (c.port_taken) occupant.reset(new net_tools::tcp_server("127.0.0.1", kPort));
        ASSERT_TRUE(!occupant || occupant->listening()) << occupant->error_text();
        RecordingWinApi api;
        auto send = [&api, &c] {
            for (DWORD control : c.controls) EXPECT_TRUE(api.SendControl(control));
        };
        if (c.stop_at_report > 0) api.At("SetServiceStatus", c.stop_at_report, send);
        std::thread run([] { RunProgram(); });
        if (c.stop_at_report == 0) {
            EXPECT_TRUE(brix_test::wait_until(Serves)) << "serves its catalog";
            send();
        }
        run.join();  // a lost stop would leave the service serving, and this join waiting
        std::vector<DWORD> states;
        for (const RecordingWinApi::Call& call : api.Calls("SetServiceStatus")) {
            states.push_back(call.first);
            EXPECT_EQ(call.second, call.first == 1 || call.first == 2 ? 0u : 5u);
        }
        EXPECT_THAT(states, ElementsAreArray(c.states));
        const SERVICE_STATUS last = api.ReportedStatus().back();
        EXPECT_EQ(last.dwServiceType, 0x30u);
        EXPECT_EQ(last.dwWin32ExitCode, c.exit_code);
        EXPECT_EQ(last.dwServiceSpecificExitCode != 0, c.exit_code != 0);
        EXPECT_EQ(stopServiceEvent, nullptr);
        EXPECT_TRUE(c.port_taken || !Serves()) << "the port is closed";
    }
}

TEST(ServiceHost, WithoutAHandlerOrTheSCMNothingRuns) {
    RecordingWinApi api;
    api.Fail("RegisterServiceCtrlHandlerA", ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(RunProgram(), 0);
    EXPECT_TRUE(api.Calls("SetServiceStatus").empty());
    // Arguments other than the two commands, in any case, run the dispatcher.
    api.Fail("StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    for (const char* argument : {"run", "installer"}) EXPECT_EQ(RunProgram(argument), 0);
    EXPECT_EQ(api.Calls("StartServiceCtrlDispatcherA").size(), 3u);
    EXPECT_EQ(api.Calls("RegisterServiceCtrlHandlerA").size(), 1u);
}

}  // namespace
