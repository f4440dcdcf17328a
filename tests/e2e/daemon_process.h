// Test-only (Linux): runs a daemon program as a child process, with its standard output and error
// in files, and talks to it over real sockets. The program may be a native daemon or a Windows
// daemon started through the project's Wine wrapper (whose process id is the program's own).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace brix_e2e {

class DaemonProcess {
  public:
    // Starts `command` (argv[0] is a path) in the folder `work_dir`, standard output and error
    // going to work_dir/stdout.txt and work_dir/stderr.txt. Standard input is /dev/null.
    DaemonProcess(const std::vector<std::string>& command, const std::string& work_dir);
    // Kills the process (SIGKILL) if it still runs, and reaps it.
    ~DaemonProcess();

    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    pid_t pid() const { return child; }

    // Everything the daemon has written to standard output / error so far, with CR LF line ends
    // read as LF.
    std::string out() const;
    std::string err() const;

    // Waits until standard output holds `count` lines equal to `line` (exact, whole lines).
    bool wait_for_lines(const std::string& line, int count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits until standard output holds `text` at least `count` times anywhere, whole lines or
    // not.
    bool wait_for_count(const std::string& text, int count,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;
    // Waits until standard output contains `text` anywhere.
    bool wait_for_text(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) const;

    // Sends a signal to the daemon.
    void signal(int sig) const;

    // Waits for the process to end; true with its exit status in `status` (or 128 + signal number
    // when a signal ended it), false if it still runs after `timeout`.
    bool wait_exit(int& status, std::chrono::milliseconds timeout = std::chrono::seconds(20));

    bool running();

  private:
    std::string dir;
    pid_t child = -1;
    bool reaped = false;
    int exit_status = -1;
};

// Every whole line of `text`, in order.
std::vector<std::string> lines_of(const std::string& text);

// Connects to 127.0.0.1:`port`, sends `request` as it is, then reads until the daemon closes the
// connection and returns what it sent. `half_close` shuts the sending side after the request.
// Returns "<connect failed>" when no connection can be made.
std::string call(int port, const std::string& request, bool half_close = false);

// A connected client socket to 127.0.0.1:`port`, or -1.
int connect_to(int port);
// Reads from `fd` until the peer closes (or `timeout` passes) and returns what came.
std::string read_all(int fd, std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Sends all of `data` on `fd`.
bool send_all(int fd, const std::string& data);

}  // namespace brix_e2e
