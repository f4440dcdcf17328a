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

// Runs brixsvc's main in-process (the service, on this thread) with `argument`, the functions in
// `failing` failing and `controls` sent inside the `at`-th call; returns the log.
std::string RunProgram(std::string argument, const char* failing = "", int at = 0,
                       std::vector<DWORD> controls = {}) {
    brix_test::RecordingWinApi api;
    api.failing = failing;
    api.on_call = [&, calls = 0](const std::string&) mutable {
        if (++calls != at) return;
        for (DWORD control : controls) ServiceControlHandler(control);
    };
    char name[] = "brixsvc";
    char* argv[] = {name, &argument[0], nullptr};
    EXPECT_EQ(brixsvc_main(argument.empty() ? 1 : 2, argv), 0);
    return api.log + (stopServiceEvent != nullptr ? "stop event left\n" : "");
}

// The dispatcher's calls and status reports in `states` (digits): START_PENDING and STOPPED
// accept no control, and only STOPPED carries `exit`.
std::string Log(const std::string& states, const std::string& exit = "0/0") {
    std::string lines = "StartServiceCtrlDispatcherA\nRegisterServiceCtrlHandlerA\n";
    for (char s : states) {
        lines += std::string("SetServiceStatus ") + s +
                 " type=0x30 accepts=" + (s > '2' ? "5" : "0") +
                 " exit=" + (s == '1' ? exit : "0/0") + " check=0 wait=0\n";
    }
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
    for (const char* argument : {"run", "installer"}) {
        EXPECT_EQ(RunProgram(argument, "StartServiceCtrlDispatcherA", 2, {SERVICE_CONTROL_STOP}),
                  "StartServiceCtrlDispatcherA\n");
    }
    // A server that cannot listen, and a stop just as STOPPED is reported.
    const net_tools::tcp_server occupant("127.0.0.1", kHostPort);
    ASSERT_TRUE(occupant.listening()) << occupant.error_text();
    EXPECT_EQ(RunProgram("", "", 6, {SERVICE_CONTROL_STOP}), Log("24311", "1066/1"));
}

const std::string kBrixsvc = brix_test::windows_path(BRIXSVC_EXE);

// Runs `program` with `arguments` and expects the silent success brixsvc always reports.
void Brixsvc(const std::string& arguments, const std::string& program = kBrixsvc) {
    const brix_test::ProgramRun outcome = brix_test::run_program(program, arguments);
    EXPECT_EQ(outcome.exit_code, 0u) << arguments;
    EXPECT_EQ(outcome.output, "") << arguments;
}

// An auto-start service left behind would start with the next Wine session.
class BrixsvcProgram : public testing::Test {
  protected:
    void SetUp() override { EXPECT_TRUE(brix_test::remove_service(kService)); }
    void TearDown() override { EXPECT_TRUE(brix_test::remove_service(kService)); }
};

// A copy of the program with its cgilet and catalog, in a folder whose name has a space.
TEST_F(BrixsvcProgram, InstallsServesUntilAStopAndUninstallsOnlyWhenStopped) {
    char temp_dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp_dir);
    const std::string dir = std::string(temp_dir) + "brix service";
    const std::string bin = kBrixsvc.substr(0, kBrixsvc.find_last_of('\\'));
    const std::string copy = dir + "\\brixsvc.exe";
    CreateDirectoryA(dir.c_str(), nullptr);
    for (const char* file : {"\\brixsvc.exe", "\\hello.dll"}) {
        ASSERT_TRUE(CopyFileA((bin + file).c_str(), (dir + file).c_str(), FALSE)) << file;
    }
    std::ofstream((dir + "\\cgi.csv").c_str())
        << "\"hello\",\"hello.dll\",\"make_hello\",\"none\"\n";

    Brixsvc("");           // from a console: the dispatcher fails at once and nothing is served
    Brixsvc("uninstall");  // none installed: nothing to do, silently
    Brixsvc("InStAlL extra arguments", copy);
    const brix_test::ServiceConfig installed(SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                             SERVICE_ERROR_IGNORE, "\"" + copy + "\"");
    EXPECT_EQ(brix_test::service_config(kService), installed);
    Brixsvc("install");  // from another folder: the service is kept as it is, and it succeeds
    EXPECT_EQ(brix_test::service_config(kService), installed);

    ASSERT_TRUE(brix_test::control_service(kService, 0));
    // Started in the system folder, the service finds "cgi.csv" and the cgilets beside itself.
    ASSERT_TRUE(brix_test::wait_until([] { return Serves(kPort); }, std::chrono::seconds(30)));
    Brixsvc("uninstall");  // a running service stays installed and running
    EXPECT_EQ(brix_test::service_state(kService), static_cast<DWORD>(SERVICE_RUNNING));

    // Clients that connect and send nothing hold the stop up only until the request deadline.
    std::vector<std::unique_ptr<net_tools::tcp_stream>> silent;
    for (int i = 0; i < 10; ++i) silent.emplace_back(new net_tools::tcp_stream("127.0.0.1", kPort));
    ASSERT_TRUE(brix_test::control_service(kService, SERVICE_CONTROL_STOP));
    EXPECT_TRUE(
        brix_test::service_reaches_state(kService, SERVICE_STOPPED, std::chrono::seconds(15)));
    silent.clear();
    EXPECT_FALSE(Serves(kPort));
    Brixsvc("UNINSTALL");  // stopped now: removed
    EXPECT_TRUE(brix_test::service_reaches_state(kService, 0));
    for (const char* file : {"\\brixsvc.exe", "\\hello.dll", "\\cgi.csv"}) {
        const std::string path = dir + file;
        EXPECT_TRUE(brix_test::wait_until([&path] { return DeleteFileA(path.c_str()) != 0; }));
    }
    RemoveDirectoryA(dir.c_str());
}

}  // namespace
