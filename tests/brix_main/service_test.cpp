// The service host of brixsvc. In-process, with the recording stand-in as the SCM and the real
// server on a port of this test's own: every status report, a stop that races the server's start
// or the last report, a handler that cannot be registered. Then the real program under the real
// SCM, as the service "BRIx" on 127.0.0.1:1995; every test removes the services it makes.
#include "brix_main/service.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net_tools/tcp_server.h"
#include "net_tools/tcp_stream.h"
#include "tests/support/wait_until.h"
#include "tests/support/win_services.h"

int brixsvc_main(int argc, char** argv);  // the program's entry point, renamed for this test

namespace {

using brix_test::RecordingWinApi;

constexpr int kHostPort = BRIXSVC_TEST_PORT;  // the in-process host's
constexpr const char* kService = "BRIx";      // the real program's, on port 1995
constexpr int kPort = 1995;

// True when the daemon on 127.0.0.1:`port` answers a greeting with the example hello cgilet's.
bool Serves(int port) {
    net_tools::tcp_stream stream("127.0.0.1", port);
    std::string response;
    for (char c = (stream << "name=svc\n").get(); stream; c = stream.get()) response += c;
    return response == "Hello, svc!\n";
}

int RunProgram(std::string argument = "") {
    char name[] = "brixsvc";
    char* argv[] = {name, &argument[0], nullptr};
    return brixsvc_main(argument.empty() ? 1 : 2, argv);
}

TEST(ServiceHost, ReportsEachStateStopsOnceWhateverTheMomentAndRunsNothingWithoutTheSCM) {
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
        const net_tools::tcp_server occupant("127.0.0.1", c.port_taken ? kHostPort : 0);
        ASSERT_TRUE(occupant.listening()) << occupant.error_text();
        RecordingWinApi api;
        auto send = [&api, &c] {
            for (DWORD control : c.controls) EXPECT_TRUE(api.SendControl(control));
        };
        if (c.stop_at_report > 0) api.At("SetServiceStatus", c.stop_at_report, send);
        std::thread run([] { RunProgram(); });
        if (c.stop_at_report == 0) {
            EXPECT_TRUE(brix_test::wait_until([] { return Serves(kHostPort); }))
                << "serves its catalog";
            send();
        }
        run.join();  // a lost stop would leave the service serving, and this join waiting
        std::vector<DWORD> states;
        for (const RecordingWinApi::Call& call : api.Calls("SetServiceStatus")) {
            states.push_back(call.first);
            EXPECT_EQ(call.second, call.first == 1 || call.first == 2 ? 0u : 5u);
        }
        EXPECT_EQ(states, c.states);
        const SERVICE_STATUS last = api.ReportedStatus().back();
        EXPECT_EQ(last.dwServiceType, 0x30u);
        EXPECT_EQ(last.dwWin32ExitCode, c.exit_code);
        EXPECT_EQ(last.dwServiceSpecificExitCode != 0, c.exit_code != 0);
        EXPECT_EQ(stopServiceEvent, nullptr);
        EXPECT_TRUE(c.port_taken || !Serves(kHostPort)) << "the port is closed";
    }

    // Without a handler or the SCM nothing runs.
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
