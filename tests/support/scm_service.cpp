#include "tests/support/scm_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <vector>

#include "tests/support/wait_until.h"

namespace brix_test {

std::string windows_path(const std::string& unix_path) {
    std::string path = "Z:" + unix_path;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

ProgramRun run_program(const std::string& program, const std::string& arguments) {
    char temp_dir[MAX_PATH] = {};
    char out_path[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp_dir);
    GetTempFileNameA(temp_dir, "run", 0, out_path);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(out_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = startup.hStdError = out;
    PROCESS_INFORMATION process = {};
    std::string command = "\"" + program + "\"" + (arguments.empty() ? "" : " " + arguments);
    ProgramRun run;
    const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        temp_dir, &startup, &process);
    EXPECT_TRUE(started) << command << ": error " << GetLastError();
    CloseHandle(out);
    if (started) {
        // A program not started by the SCM may wait a while before its dispatcher gives up.
        if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
            TerminateProcess(process.hProcess, 1);
            ADD_FAILURE() << command << " did not end";
        }
        GetExitCodeProcess(process.hProcess, &run.exit_code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    std::ifstream text(out_path, std::ios::binary);
    for (char c; text.get(c);) {
        if (c != '\r') run.output += c;
    }
    text.close();
    DeleteFileA(out_path);
    return run;
}

SERVICE_STATUS service_status(const char* name) {
    SERVICE_STATUS status = {};
    with_service(name, SERVICE_QUERY_STATUS,
                 [&status](SC_HANDLE s) { return QueryServiceStatus(s, &status) != 0; });
    return status;
}

bool service_reaches_state(const char* name, DWORD state, std::chrono::milliseconds deadline) {
    return wait_until([=] { return service_status(name).dwCurrentState == state; }, deadline);
}

ServiceConfig service_config(const char* name) {
    ServiceConfig config;
    EXPECT_TRUE(with_service(name, SERVICE_QUERY_CONFIG, [&config](SC_HANDLE s) {
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        if (!QueryServiceConfigA(s, c, static_cast<DWORD>(buffer.size()), &needed)) return false;
        config = {c->dwServiceType, c->dwStartType, c->dwErrorControl, c->lpBinaryPathName};
        return true;
    })) << name;
    return config;
}

bool remove_service(const char* name) {
    with_service(name, SERVICE_ALL_ACCESS, [](SC_HANDLE s) {
        SERVICE_STATUS status = {};
        ControlService(s, SERVICE_CONTROL_STOP, &status);
        return DeleteService(s) != 0;
    });
    return service_reaches_state(name, 0);
}

}  // namespace brix_test
