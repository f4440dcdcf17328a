#include "tests/e2e/daemon_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "tests/support/wait_until.h"

namespace brix_e2e {

namespace {

constexpr std::chrono::seconds kPatience{20};

// The file's text, with Windows line ends (a Windows daemon's standard output) made plain.
std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return std::regex_replace(text.str(), std::regex("\r\n"), "\n");
}

}  // namespace

DaemonProcess::DaemonProcess(const std::vector<std::string>& command, const std::string& work_dir,
                             bool ignore_sigint)
    : dir(work_dir) {
    // Opened (and emptied) here, not in the child, so that what an earlier daemon wrote in the
    // same folder is gone before this constructor returns.
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int out =
        open((dir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err =
        open((dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::vector<char*> argv;
    for (const std::string& arg : command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    child = fork();
    if (child < 0) throw std::runtime_error("fork failed");
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // The daemon gets descriptors 0 to 2 only, so that what its children hold is its own.
        close_range(3, ~0U, 0);
        // The test process may have the stop signals blocked; the daemon starts with none.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        if (ignore_sigint) ::signal(SIGINT, SIG_IGN);
        setpgid(0, 0);
        execv(argv[0], argv.data());
        _exit(127);
    }
    for (const int fd : {in, out, err}) {
        if (fd >= 0) close(fd);
    }
}

DaemonProcess::~DaemonProcess() {
    if (!reaped && child > 0) {
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
    }
}

std::string DaemonProcess::out() const { return read_file(dir + "/stdout.txt"); }
std::string DaemonProcess::err() const { return read_file(dir + "/stderr.txt"); }

int DaemonProcess::count(const std::string& text) const {
    const std::string all = out();
    int found = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++found;
    return found;
}

bool DaemonProcess::wait_for(const std::string& text, int count) const {
    return brix_test::wait_until([&] { return this->count(text) >= count; }, kPatience);
}

void DaemonProcess::signal(int sig) const { kill(child, sig); }

bool DaemonProcess::wait_exit(int& status) {
    const bool ended = brix_test::wait_until([&] { return !running(); }, kPatience);
    status = exit_status;
    return ended;
}

bool DaemonProcess::running() {
    if (reaped) return false;
    int status = 0;
    const pid_t result = waitpid(child, &status, WNOHANG);
    if (result == 0) return true;
    reaped = true;
    if (result == child) {
        exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return false;
}

}  // namespace brix_e2e
