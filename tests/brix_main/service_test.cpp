// brixsvc's host in-process with a stand-in SCM; the e2e driver runs it under the real one.
#include "brix_main/service.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net_tools/tcp_server.h"
#include "tests/support/recording_win_api.h"

int brixsvc_main(int argc, char** argv);  // the program's entry point, renamed for this test

namespace {

// brixsvc's main on this thread; `controls` are sent inside the `at`-th call. Returns the log.
std::string RunProgram(std::string argument, const char* failing = "", int at = 0,
                       std::vector<DWORD> controls = {}) {
    brix_test::RecordingWinApi api;
    api.failing = failing;
    api.on_call = [&, calls = 0](const std::string&) mutable {
        if (++calls != at) return;
        for (DWORD control : controls) ServiceControlHandler(control);
    };
    char* argv[] = {const_cast<char*>("brixsvc"), &argument[0], nullptr};
    EXPECT_EQ(brixsvc_main(argument.empty() ? 1 : 2, argv), 0);
    return api.log + (stopServiceEvent != nullptr ? "stop event left\n" : "");
}

// The dispatcher's calls and reports of `states` (digits); only STOPPED carries `exit`.
std::string Log(const std::string& states, const std::string& exit = "0/0") {
    std::string lines = "StartServiceCtrlDispatcherA\nRegisterServiceCtrlHandlerA\n";
    for (char s : states)
        lines += std::string("SetServiceStatus ") + s +
                 " type=0x30 accepts=" + (s > '2' ? "5" : "0") +
                 " exit=" + (s == '1' ? exit : "0/0") + " check=0 wait=0\n";
    return lines;
}

TEST(ServiceHost, ReportsEachStateStopsOnceWhateverTheMomentAndRunsNothingWithoutTheSCM) {
    // Inside the RUNNING report, before the server is armed: interrogate, pause and user codes
    // re-report the status; the shutdown is carried out once the server is armed.
    EXPECT_EQ(RunProgram("", "", 4,
                         {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_PAUSE, 128,
                          SERVICE_CONTROL_SHUTDOWN}),
              Log("24444331"));
    // Without a handler or the SCM nothing runs: a stop inside the next call would end whatever
    // did, rather than leave it serving. Arguments other than the two commands run the dispatcher.
    EXPECT_EQ(RunProgram("", "RegisterServiceCtrlHandlerA", 3, {SERVICE_CONTROL_STOP}), Log(""));
    for (const char* argument : {"run", "installer"})
        EXPECT_EQ(RunProgram(argument, "StartServiceCtrlDispatcherA", 2, {SERVICE_CONTROL_STOP}),
                  "StartServiceCtrlDispatcherA\n");
    // A server that cannot listen, and a stop just as STOPPED is reported.
    const net_tools::tcp_server occupant("127.0.0.1", BRIXSVC_TEST_PORT);
    ASSERT_TRUE(occupant.listening()) << occupant.error_text();
    EXPECT_EQ(RunProgram("", "", 6, {SERVICE_CONTROL_STOP}), Log("24311", "1066/1"));
}

}  // namespace
