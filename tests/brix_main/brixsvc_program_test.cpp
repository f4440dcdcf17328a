// The real brixsvc program as separate processes under the real Service Control Manager. The
// service "BRIx" serves the example catalog beside the program on 127.0.0.1:1995; every test
// removes the services it makes.
#include <winsock2.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/brix_main/request.h"
#include "tests/support/scm_service.h"
#include "tests/support/wait_until.h"

namespace {

constexpr const char* kService = "BRIx";
constexpr int kPort = 1995;

const std::string kBrixsvc = brix_test::windows_path(BRIXSVC_EXE);

// Runs `program` with `arguments` and expects the silent success brixsvc always reports.
void Brixsvc(const std::string& arguments, const std::string& program = kBrixsvc) {
    const brix_test::ProgramRun outcome = brix_test::run_program(program, arguments);
    EXPECT_EQ(outcome.exit_code, 0u) << arguments;
    EXPECT_EQ(outcome.output, "") << arguments;
}

// Starts the service (`control` 0) or sends it `control`; true when the SCM took it.
bool Control(DWORD control) {
    return brix_test::with_service(kService, SERVICE_ALL_ACCESS, [control](SC_HANDLE s) {
        SERVICE_STATUS status = {};
        return control == 0 ? StartServiceA(s, 0, nullptr) != 0
                            : ControlService(s, control, &status) != 0;
    });
}

bool Serves() { return brix_main_test::ask(kPort, "name=svc\n") == "Hello, svc!\n"; }

// An auto-start service left behind would start with the next Wine session.
class BrixsvcProgram : public testing::Test {
  protected:
    void SetUp() override { EXPECT_TRUE(brix_test::remove_service(kService)); }
    void TearDown() override {
        EXPECT_TRUE(brix_test::remove_service(kService));
        RegDeleteKeyA(HKEY_LOCAL_MACHINE,
                      "SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\BRIx");
    }
};

// A copy of the program with two cgilets and their catalog, in a folder whose name has a space.
TEST_F(BrixsvcProgram, InstallsServesUntilAStopAndUninstallsOnlyWhenStopped) {
    char temp_dir[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp_dir);
    const std::string dir = std::string(temp_dir) + "brix service";
    const std::string bin = kBrixsvc.substr(0, kBrixsvc.find_last_of('\\'));
    const std::string copy = dir + "\\brixsvc.exe";
    CreateDirectoryA(dir.c_str(), nullptr);
    for (const char* file : {"\\brixsvc.exe", "\\hello.dll", "\\echo.dll"}) {
        ASSERT_TRUE(CopyFileA((bin + file).c_str(), (dir + file).c_str(), FALSE)) << file;
    }
    std::ofstream((dir + "\\cgi.csv").c_str())
        << "\"hello\",\"hello.dll\",\"make_hello\",\"none\"\n"
        << "\"echo\",\"echo.dll\",\"make_echo\",\"none\"\n";

    Brixsvc("");           // from a console: the dispatcher fails at once and nothing is served
    Brixsvc("uninstall");  // none installed: nothing to do, silently
    EXPECT_FALSE(Serves());
    Brixsvc("InStAlL extra arguments", copy);
    const brix_test::ServiceConfig config = brix_test::service_config(kService);
    EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.error_control, static_cast<DWORD>(SERVICE_ERROR_IGNORE));
    EXPECT_EQ(config.path, "\"" + copy + "\"");
    Brixsvc("install");  // the second creates nothing and still succeeds
    EXPECT_EQ(brix_test::service_config(kService).path, "\"" + copy + "\"");

    ASSERT_TRUE(Control(0));
    // Started in the system folder, the service finds "cgi.csv" and the cgilets beside itself.
    ASSERT_TRUE(brix_test::wait_until(Serves, std::chrono::seconds(30)));
    EXPECT_EQ(brix_main_test::ask(kPort, "cgilet=echo&a=b\n"), "a=b\ncgilet=echo\n");
    Brixsvc("uninstall");  // a running service stays installed and running
    EXPECT_TRUE(Control(SERVICE_CONTROL_INTERROGATE));
    Control(SERVICE_CONTROL_PAUSE);  // not accepted
    SERVICE_STATUS status = brix_test::service_status(kService);
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(status.dwControlsAccepted, 5u);

    // Clients that connect and send nothing hold the stop up only until the request deadline.
    std::vector<std::unique_ptr<net_tools::tcp_stream>> silent;
    for (int i = 0; i < 10; ++i) silent.emplace_back(new net_tools::tcp_stream("127.0.0.1", kPort));
    ASSERT_TRUE(Control(SERVICE_CONTROL_STOP));
    EXPECT_TRUE(
        brix_test::service_reaches_state(kService, SERVICE_STOPPED, std::chrono::seconds(15)));
    silent.clear();
    EXPECT_EQ(brix_test::service_status(kService).dwWin32ExitCode, 0u) << "an orderly stop";
    EXPECT_FALSE(Serves());
    Brixsvc("UNINSTALL");  // stopped now: removed
    EXPECT_TRUE(brix_test::service_reaches_state(kService, 0));
    for (const char* file : {"\\brixsvc.exe", "\\hello.dll", "\\echo.dll", "\\cgi.csv"}) {
        const std::string path = dir + file;
        EXPECT_TRUE(brix_test::wait_until([&path] { return DeleteFileA(path.c_str()) != 0; }));
    }
    RemoveDirectoryA(dir.c_str());

    // The launcher's service of the same name is left alone.
    const std::string warden = brix_test::windows_path(WARDEN_EXE);
    ASSERT_EQ(brix_test::run_program(warden, "/i").exit_code, 0u);
    Brixsvc("install");
    EXPECT_EQ(brix_test::service_config(kService).path, warden);
}

}  // namespace
