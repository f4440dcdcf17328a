// Test-only (Linux): runs a program, such as a daemon, as a child process with its standard output
// and error in files. The program may be a native one or a Windows one started through the
// project's Wine wrapper (whose process id is the program's own).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace brix_e2e {

class DaemonProcess {
  public:
    // Starts `command` (argv[0] is a path) in the folder `work_dir`, standard output and error
    // going to work_dir/stdout.txt and work_dir/stderr.txt, standard input from /dev/null, no
    // signal blocked; with `ignore_sigint` it starts with SIGINT ignored, as a program started in
    // the background by a non-interactive shell does.
    DaemonProcess(const std::vector<std::string>& command, const std::string& work_dir,
                  bool ignore_sigint = false);
    // Kills the process (SIGKILL) if it still runs, and reaps it.
    ~DaemonProcess();

    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    pid_t pid() const { return child; }

    // Everything the daemon has written to standard output / error so far, with CR LF line ends
    // read as LF.
    std::string out() const;
    std::string err() const;
    // How often `text` occurs in standard output so far.
    int count(const std::string& text) const;
    // Waits (20 s at most) until standard output holds `text` at least `count` times.
    bool wait_for(const std::string& text, int count = 1) const;

    void signal(int sig) const;
    // Waits for the process to end; true with its exit status in `status` (or 128 + signal number
    // when a signal ended it), false if it still runs after 20 s.
    bool wait_exit(int& status);
    bool running();

  private:
    std::string dir;
    pid_t child = -1;
    bool reaped = false;
    int exit_status = -1;
};

}  // namespace brix_e2e
