// The service host in-process: the Service Control Manager's side is played by the recording
// stand-in, the server is the real one (on a port of this test's own, serving the example catalog
// from the test program's folder, which the service makes its current directory).
#include "brix_main/service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
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
using testing::ElementsAre;
using testing::IsEmpty;

constexpr int kPort = BRIXSVC_TEST_PORT;

// The program run without arguments, as the SCM starts it, on a thread of its own; the stand-in's
// dispatcher serves controls on that thread until the service main has returned.
class ServiceRun {
  public:
    ServiceRun()
        : thread([this] {
              char name[] = "brixsvc";
              char* argv[] = {name, nullptr};
              brixsvc_main(1, argv);
              ended = true;
          }) {}
    ~ServiceRun() { join(); }
    void join() {
        if (thread.joinable()) thread.join();
    }
    std::atomic<bool> ended{false};

  private:
    std::thread thread;
};

bool Serves() { return brix_main_test::ask(kPort, "name=svc\n") == "Hello, svc!\n"; }

std::vector<DWORD> States(const RecordingWinApi& api) { return api.ReportedStates(); }

std::vector<DWORD> Controls(const RecordingWinApi& api) {
    std::vector<DWORD> controls;
    for (const SERVICE_STATUS& s : api.ReportedStatus()) controls.push_back(s.dwControlsAccepted);
    return controls;
}

TEST(ServiceHost, RunsTheServerUntilAStopAndReportsEachState) {
    RecordingWinApi api;
    {
        ServiceRun run;
        ASSERT_TRUE(brix_test::wait_until(Serves)) << "the service serves its catalog";
        EXPECT_THAT(States(api), ElementsAre(2u, 4u));
        ASSERT_TRUE(api.SendControl(SERVICE_CONTROL_STOP));
        run.join();
    }
    // START_PENDING, RUNNING, STOP_PENDING from the handler, STOP_PENDING once the server has
    // returned, STOPPED.
    EXPECT_THAT(States(api), ElementsAre(2u, 4u, 3u, 3u, 1u));
    EXPECT_THAT(Controls(api), ElementsAre(0u, 5u, 5u, 5u, 0u));
    for (const SERVICE_STATUS& s : api.ReportedStatus()) {
        EXPECT_EQ(s.dwServiceType, 0x30u);
        EXPECT_EQ(s.dwWin32ExitCode, 0u);
        EXPECT_EQ(s.dwServiceSpecificExitCode, 0u);
        EXPECT_EQ(s.dwCheckPoint, 0u);
        EXPECT_EQ(s.dwWaitHint, 0u);
    }
    EXPECT_THAT(api.ArgumentsOf("RegisterServiceCtrlHandlerA"), ElementsAre("BRIx, set"));
    EXPECT_THAT(api.ArgumentsOf("StartServiceCtrlDispatcherA"), ElementsAre("BRIx"));
    EXPECT_EQ(stopServiceEvent, nullptr);
    EXPECT_EQ(brix_main_test::ask(kPort, "name=svc\n"), "") << "the port is closed";
}

TEST(ServiceHost, OtherControlsReReportTheStatusAndChangeNothing) {
    RecordingWinApi api;
    ServiceRun run;
    ASSERT_TRUE(brix_test::wait_until(Serves));
    // Interrogate, pause, continue, a user-defined code: the status again, unchanged.
    for (DWORD control : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{SERVICE_CONTROL_PAUSE},
                          DWORD{SERVICE_CONTROL_CONTINUE}, DWORD{128}}) {
        ASSERT_TRUE(api.SendControl(control));
    }
    EXPECT_THAT(States(api), ElementsAre(2u, 4u, 4u, 4u, 4u, 4u));
    EXPECT_THAT(Controls(api), ElementsAre(0u, 5u, 5u, 5u, 5u, 5u));
    EXPECT_TRUE(Serves()) << "still serving";
    EXPECT_FALSE(run.ended);

    ASSERT_TRUE(api.SendControl(SERVICE_CONTROL_SHUTDOWN));  // stops as a stop does
    run.join();
    EXPECT_EQ(States(api).back(), static_cast<DWORD>(SERVICE_STOPPED));
}

TEST(ServiceHost, AStopBeforeTheServerIsArmedStillStopsIt) {
    RecordingWinApi api;
    // The stop arrives on the dispatcher's thread while the service thread is still inside its
    // RUNNING report, before it has even constructed the server.
    std::atomic<bool> sent{false};
    api.SetHook([&api, &sent](const RecordingWinApi::Call& call) {
        if (call.function == "SetServiceStatus" &&
            call.arguments.find("state 4,") != std::string::npos && !sent.exchange(true)) {
            api.SendControl(SERVICE_CONTROL_STOP);
        }
    });
    ServiceRun run;
    run.join();  // a lost stop would leave the service serving, and this join waiting
    EXPECT_TRUE(sent);
    EXPECT_THAT(States(api), ElementsAre(2u, 4u, 3u, 3u, 1u));
    const SERVICE_STATUS last = api.ReportedStatus().back();
    EXPECT_EQ(last.dwWin32ExitCode, 0u) << "a requested stop is not a failure";
    EXPECT_EQ(brix_main_test::ask(kPort, "name=svc\n"), "");
}

TEST(ServiceHost, AServerThatCannotListenEndsTheServiceWithAServiceSpecificError) {
    net_tools::tcp_server occupant("127.0.0.1", kPort);
    ASSERT_TRUE(occupant.listening()) << occupant.error_text();
    RecordingWinApi api;
    // A stop control that comes just as the service reports STOPPED leaves STOPPED the last
    // report.
    std::atomic<bool> sent{false};
    api.SetHook([&api, &sent](const RecordingWinApi::Call& call) {
        if (call.function == "SetServiceStatus" &&
            call.arguments.find("state 1,") != std::string::npos && !sent.exchange(true)) {
            EXPECT_TRUE(api.SendControl(SERVICE_CONTROL_STOP));
        }
    });
    ServiceRun run;
    run.join();
    EXPECT_TRUE(sent);
    EXPECT_THAT(States(api), ElementsAre(2u, 4u, 3u, 1u, 1u));
    const SERVICE_STATUS last = api.ReportedStatus().back();
    EXPECT_EQ(last.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_NE(last.dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(last.dwControlsAccepted, 0u);
}

TEST(ServiceHost, AHandlerThatCannotBeRegisteredReportsNothing) {
    RecordingWinApi api;
    api.Fail("RegisterServiceCtrlHandlerA", ERROR_SERVICE_DOES_NOT_EXIST);
    ServiceRun run;
    run.join();
    EXPECT_THAT(api.CallsTo("SetServiceStatus"), IsEmpty());
    EXPECT_EQ(stopServiceEvent, nullptr);
}

TEST(ServiceHost, WithoutTheSCMTheProgramOnlyTriesTheDispatcher) {
    RecordingWinApi api;
    api.Fail("StartServiceCtrlDispatcherA", ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    for (const char* argument : {"", "run", "installer"}) {
        std::string text = argument;
        char name[] = "brixsvc";
        char* argv[] = {name, &text[0], nullptr};
        EXPECT_EQ(brixsvc_main(text.empty() ? 1 : 2, argv), 0) << argument;
    }
    EXPECT_EQ(api.CallsTo("StartServiceCtrlDispatcherA").size(), 3u);
    EXPECT_THAT(api.CallsTo("RegisterServiceCtrlHandlerA"), IsEmpty());
}

}  // namespace
