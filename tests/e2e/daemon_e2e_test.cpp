// End-to-end tests: the programs run as processes. The daemon, started with a test catalog and the
// test cgilets, driven over real sockets and stopped with real signals; with BRIX_E2E_WINE set the
// Windows daemon under Wine, and with BRIX_E2E_SERVICE too the service host as the service "BRIx"
// that it installs itself into Wine's service manager (see CMakeLists.txt). Then brix-call against
// the daemon, and the warden programs under Wine's service manager. They keep to what only a whole
// program shows; decoding, dispatch, the catalog and the service framework have unit tests.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "net_tools/socket_ops.h"
#include "net_tools/tcp_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

namespace fs = std::filesystem;
namespace ops = net_tools::socket_ops;
using brix_test::wait_until;
using std::chrono::seconds;

namespace {

// What is under test: set by CMake for the native build, by the environment for the Windows one.
std::string setting(const char* name, const std::string& native = "") {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : native;
}
const bool kWine = !setting("BRIX_E2E_WINE").empty();
// The service host has no standard streams and writes no trace: with it, the checks are on what
// clients receive and on the service's state.
const bool kService = !setting("BRIX_E2E_SERVICE").empty();
const int kPort = std::stoi(setting("BRIX_E2E_PORT", std::to_string(E2E_PORT)));

// A file's text, with CR LF line ends (a Windows program's) read as LF.
std::string text_of(const fs::path& file) {
    std::ostringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return std::regex_replace(text.str(), std::regex("\r\n"), "\n");
}
int count(const std::string& all, const std::string& text) {
    int found = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++found;
    return found;
}

// Runs `command` through the shell and returns its standard output and error, after "[exit N] "
// unless its exit status N is 0. The output goes through a file, not a pipe: a program
// that it starts detached (and Wine's server) may hold it long after.
std::string run(const std::string& command) {
    static const brix_test::TempDir scratch;
    const std::string file = scratch.path() + "/output.txt";
    const int status = std::system((command + " >'" + file + "' 2>&1").c_str());
    return (status == 0 ? "" : "[exit " + std::to_string(WEXITSTATUS(status)) + "] ") +
           text_of(file);
}
// Runs a Windows program. Wine ends a service a few seconds after its last other program has
// ended: a command interpreter waiting for input keeps one running while the tests do.
std::string wine(const std::string& arguments) {
    static FILE* const keeper = popen(E2E_WINE_RUN " cmd >/dev/null 2>&1", "we");
    return keeper != nullptr ? run(E2E_WINE_RUN " " + arguments) : "<no wine>";
}
std::string windows_path(const fs::path& unix_path) {
    return "Z:" + std::regex_replace(unix_path.string(), std::regex("/"), "\\");
}
// The state of the service "BRIx" (4 running, 3 stop pending, 1 stopped), 0 when there is none.
int service_state(std::string* report = nullptr) {
    std::smatch state;
    const std::string text = wine("sc query BRIx");
    if (report != nullptr) *report = text;
    return std::regex_search(text, state, std::regex("STATE *: *([0-9]+)")) ? std::stoi(state[1])
                                                                            : 0;
}
bool service_reaches(int state) {
    return wait_until([state] { return service_state() == state; }, seconds(30));
}
// The values of a key under HKEY_LOCAL_MACHINE as lines "NAME TYPE DATA", "" when it is missing;
// only the service configuration's Type, Start, ErrorControl and ImagePath from a service's key.
std::string registry(const std::string& key) {
    std::istringstream lines(wine("reg query 'HKLM\\" + key + "'"));
    const std::regex value(" +(\\S+) +(REG_\\S+) +(.*)");
    const std::regex ignored("DisplayName|ObjectName|WOW64|PreshutdownTimeout");
    std::string values;
    std::smatch m;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_match(line, m, value) && !std::regex_match(m[1].str(), ignored))
            values += m[1].str() + " " + m[2].str() + " " + m[3].str() + "\n";
    }
    return values;
}
const std::string kServiceKey = "System\\CurrentControlSet\\Services\\BRIx";
const std::string kEventSourceKey = "System\\CurrentControlSet\\Services\\EventLog\\System\\BRIx";

// A program run as a child process in the folder `dir`, standard output and error going to
// stdout.txt and stderr.txt there. A Windows program is started through the project's Wine wrapper,
// whose process id is the program's own.
class Process {
  public:
    // How the stop signals reach it: as usual; SIGINT ignored, as a non-interactive shell starts
    // programs in the background; SIGINT and SIGTERM blocked, as some supervisors start them.
    enum Signals { as_usual, sigint_ignored, stop_blocked };

    Process(std::vector<std::string> command, const std::string& dir, Signals signals = as_usual)
        : dir(dir) {
        // Opened (and emptied) here, so that what an earlier program wrote there is gone now.
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out =
            open((dir + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err =
            open((dir + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::vector<char*> argv;
        for (std::string& arg : command) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if ((pid = fork()) == 0) {  // only async-signal-safe calls until exec
            sigset_t mask;
            sigemptyset(&mask);
            if (signals == stop_blocked) sigaddset(&mask, SIGINT), sigaddset(&mask, SIGTERM);
            sigprocmask(SIG_SETMASK, &mask, nullptr);
            if (signals == sigint_ignored) ::signal(SIGINT, SIG_IGN);
            // Descriptors 0 to 2 only, so that what the program's children hold is its own.
            if (dup2(in, 0) == 0 && dup2(out, 1) == 1 && dup2(err, 2) == 2 &&
                close_range(3, ~0U, 0) == 0 && chdir(this->dir.c_str()) == 0 && setpgid(0, 0) == 0)
                execv(argv[0], argv.data());
            _exit(127);
        }
        for (const int fd : {in, out, err}) close(fd);
    }
    ~Process() {
        if (running()) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }

    std::string out() const { return text_of(dir + "/stdout.txt"); }
    std::string err() const { return text_of(dir + "/stderr.txt"); }
    // Waits (20 s at most) until standard output holds `text` at least `times` times.
    bool wait_for(const std::string& text, int times = 1) const {
        return wait_until([&] { return count(out(), text) >= times; }, seconds(20));
    }
    // Waits (20 s at most) for the end; its exit status (128 + signal number when a signal ended
    // it), or -1 while it runs.
    int wait_exit() {
        wait_until([&] { return !running(); }, seconds(20));
        return status;
    }
    bool running() {
        int s = 0;
        if (status < 0 && waitpid(pid, &s, WNOHANG) == pid)
            status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
        return status < 0;
    }

    const std::string dir;
    pid_t pid = -1;

  private:
    int status = -1;
};

// Where the descriptors above 2 of process `pid` lead, as " socket:[N] /a/path..."; with
// `inheritable` only those without close-on-exec.
std::string descriptors(pid_t pid, bool inheritable = false) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string targets;
    std::error_code gone;
    for (const auto& fd : fs::directory_iterator(proc + "/fd", gone)) {
        const std::string name = fd.path().filename();
        std::ifstream info(proc + "/fdinfo/" + name);
        unsigned long flags = 0;
        info.ignore(64, '\n').ignore(6) >> std::oct >> flags;  // "pos:\t0\nflags:\t02004002\n..."
        if (std::stoi(name) > 2 && (!inheritable || (flags & O_CLOEXEC) == 0))
            targets += " " + fs::read_symlink(fd, gone).string();
    }
    return targets;
}

// A client socket connected to the daemon, or -1.
int connect_to_daemon() {
    const sockaddr_in address{AF_INET, htons(uint16_t(kPort)), {htonl(INADDR_LOOPBACK)}, {}};
    const int fd = ops::create_tcp();
    if (fd >= 0 && ops::connect(fd, address) == 0) return fd;
    if (fd >= 0) ops::close(fd);
    return -1;
}
bool send_all(int fd, const std::string& data) {
    return ops::send(fd, data.data(), data.size()) == data.size();
}
// What comes on `fd` until the peer closes, then "<error text>" when the connection ends
// otherwise (a reset destroys a response the client may not have read yet; or 20 s of silence).
std::string read_all(int fd) {
    ops::set_receive_timeout(fd, 20000);
    std::string data;
    char chunk[4096];
    long n;
    while ((n = ops::receive(fd, chunk, sizeof chunk)) > 0) data.append(chunk, std::size_t(n));
    return n == 0 ? data : data + "<" + ops::error_text(ops::last_error()) + ">";
}
// Sends `line` as it is (then shuts the sending side with `half_close`) and returns what the
// daemon sent before closing, or "<connect failed>".
std::string request(const std::string& line, bool half_close = false) {
    const int fd = connect_to_daemon();
    if (fd < 0) return "<connect failed>";
    send_all(fd, line);
    if (half_close) ops::shutdown_send(fd);
    const std::string response = read_all(fd);
    close(fd);
    return response;
}

// How many connections wait in the accept queue of the listening socket on kPort (the receive
// queue /proc/net/tcp shows for a listening socket), or -1 when nothing listens there.
int accept_queue() {
    std::ifstream table("/proc/net/tcp");
    unsigned port = 0, state = 0, queued = 0;
    for (std::string line; std::getline(table, line);) {
        if (std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%*x %x %*x:%x", &port, &state, &queued) ==
                3 &&
            int(port) == kPort && state == 0x0A)
            return int(queued);
    }
    return -1;
}

// The service "BRIx": a copy of the service host and its cgilets in `dir`, beside the catalog
// there, installed by itself and started by Wine's service manager. The destructor removes it,
// having killed its process if no stop ended it.
class Service {
  public:
    explicit Service(const fs::path& dir) {
        const fs::path built = setting("BRIX_E2E_DAEMON");
        for (const char* name : {"BRIX_E2E_HELLO_CGILET", "BRIX_E2E_ECHO_CGILET",
                                 "BRIX_E2E_TEST_CGILETS", "BRIX_E2E_DAEMON"}) {
            const fs::path file = fs::path(setting(name)).filename();
            fs::copy_file(built.parent_path() / file, dir / file);
        }
        program = windows_path(dir / built.filename());
        wine("sc delete BRIx");  // left by an interrupted run
        // From a console the dispatcher fails at once; there is nothing to uninstall; the command
        // is read in any letter case, further arguments ignored; an install from another folder
        // keeps the first one. All silently.
        const std::string other = "'" + built.string() + "'";
        for (const std::string& command :
             {other, other + " uninstall", copy() + " InStAlL more arguments", other + " install"})
            EXPECT_EQ(wine(command), "") << command;
        EXPECT_EQ(registry(kServiceKey), "ErrorControl REG_DWORD 0x0\nImagePath REG_SZ \"" +
                                             program +
                                             "\"\nStart REG_DWORD 0x2\nType REG_DWORD 0x10\n");
        wine("sc start BRIx");
        // Started in the Windows folder, it finds its catalog and cgilets beside itself.
        EXPECT_TRUE(
            wait_until([] { return request("name=ready\n") == "Hello, ready!\n"; }, seconds(20)));
        EXPECT_EQ(wine(copy() + " uninstall"), "");
        EXPECT_EQ(service_state(), 4) << "a running service is not uninstalled";
    }
    ~Service() {
        if (!stopped && !stop()) {
            std::error_code gone;
            for (const auto& process : fs::directory_iterator("/proc", gone)) {
                std::string command;
                std::getline(std::ifstream(process.path() / "cmdline"), command, '\0');
                if (command == program) kill(std::stoi(process.path().filename()), SIGKILL);
            }
        }
        wine("sc delete BRIx");
    }

    // Sends the stop control, waits (20 s at most) until the service has STOPPED, and uninstalls
    // it; 0 when it stopped reporting no error, else 1.
    int stop() {
        wine("sc stop BRIx");
        std::string report;
        stopped = wait_until([&] { return service_state(&report) == 1; }, seconds(20));
        EXPECT_TRUE(stopped) << report;
        EXPECT_EQ(wine(copy() + " UNINSTALL"), "");
        EXPECT_TRUE(service_reaches(0));
        return stopped && std::regex_search(report, std::regex("WIN32_EXIT_CODE *: 0 ")) ? 0 : 1;
    }

  private:
    std::string copy() const { return "'" + program + "'"; }
    std::string program;  // its Windows path
    bool stopped = false;
};

void db_server(const std::string& command) {
    ASSERT_EQ(std::system((E2E_DB_SERVER " " + command + " >/dev/null").c_str()), 0) << command;
}

class Daemon : public ::testing::Test {
  protected:
    // Starts the daemon with the test catalog in its own folder (whose name has a space, so that
    // the service's is quoted) and, with `until_running`, waits until its ten workers run.
    void start(Process::Signals signals = Process::as_usual, bool until_running = true) {
        fs::create_directory(dir);
        std::ofstream catalog(dir + "/cgi.csv", std::ios::binary);
        const auto row = [&](const std::string& name, const std::string& library, const char* db) {
            catalog << '"' << name << "\",\"" << library << "\",\"make_" << name << "\",\"" << db
                    << "\"\n";
        };
        const std::string test_cgilets = setting("BRIX_E2E_TEST_CGILETS", E2E_TEST_CGILETS);
        row("hello", setting("BRIX_E2E_HELLO_CGILET", E2E_HELLO_CGILET), "none");
        row("echo", setting("BRIX_E2E_ECHO_CGILET", E2E_ECHO_CGILET), "none");
        for (const char* name : {"throw", "wait", "flood", "spawn"})
            row(name, test_cgilets, "none");
        row("dbname", test_cgilets, "test");
        catalog.close();
        if (kService) {
            service = std::make_unique<Service>(dir);
            return;
        }
        std::vector<std::string> command{setting("BRIX_E2E_DAEMON", E2E_DAEMON)};
        if (kWine) command.insert(command.begin(), E2E_WINE_RUN);
        daemon = std::make_unique<Process>(command, dir, signals);
        EXPECT_TRUE(!until_running || daemon->wait_for(" start...\n", 10));
    }

    // Stops the daemon with `sig` (0: sends none, to wait for an end already under way) and
    // returns its exit status; the service, with the stop control.
    int stop(int sig = SIGINT) {
        if (kService) return service->stop();
        kill(daemon->pid, sig);
        const int status = daemon->wait_exit();
        EXPECT_NE(status, -1) << "the daemon did not stop\n" << daemon->out();
        return status;
    }

    // Waits for `text` in the trace; the service writes none, so there is nothing to wait for.
    bool traced(const std::string& text, int times = 1) {
        return kService || daemon->wait_for(text, times);
    }

    brix_test::TempDir temp;
    const std::string dir = temp.path() + "/brix e2e";
    std::unique_ptr<Process> daemon;
    std::unique_ptr<Service> service;
};

}  // namespace

TEST_F(Daemon, ReadsServesAndTracesEachRequestWholeAndInOrder) {
    start();
    ASSERT_EQ(request("cgilet=hello\n"), "Hello, world!\n");
    if (!kService) {  // which has neither a pid file nor a trace
        const std::string pid = kWine ? "[1-9][0-9]*" : std::to_string(daemon->pid);  // Wine's own
        EXPECT_TRUE(std::regex_match(text_of(dir + "/brix.pid"), std::regex(pid + "\n")));
        ASSERT_TRUE(daemon->wait_for("process request #4\n"));
        EXPECT_TRUE(
            std::regex_search(daemon->out(), std::regex("\nfd: ([0-9]+)\nid: 1[0-9]{2} got: \\1\n"
                                                        "process request...\ncgilet=\"hello\"\n"
                                                        "process request #4\n")))
            << daemon->out();
    }

    // An unknown cgilet gets nothing. Its name is traced with control bytes, bytes from 0x80 and
    // '%' as %XX: a request cannot write lines of its own, and the trace reads one way only.
    EXPECT_EQ(request("cgilet=%0Ashutdown next...%0D%0Afd: 7%7F%250A%C3%A9\n"), "");
    EXPECT_TRUE(traced("\ncgilet=\"%0Ashutdown next...%0D%0Afd: 7%7F%250A%C3%A9\"\n"));
    // A throwing cgilet is traced and its worker goes on serving.
    EXPECT_EQ(request("cgilet=throw\n"), "");
    EXPECT_TRUE(traced("CGI error thread #"));
    // The first 1024 characters are the request line; the other 976 stay for the cgilet, and
    // nothing after a line feed is consumed.
    const std::string line = "cgilet=wait&x=" + std::string(2000 - 14, 'y') + "\n";
    EXPECT_EQ(request(line, true), "released: " + std::string(976, 'y') + "\n");
    EXPECT_EQ(request("cgilet=wait\nmore data", true), "released: more data\n");
    // Input nobody reads (here the end of a long line) must not turn the end of the connection
    // into a reset.
    EXPECT_EQ(request("cgilet=echo&x=" + std::string(3000, 'y') + "\n"),
              "cgilet=echo\nx=" + std::string(1024 - 14, 'y') + "\n");

    // Under load, and through a stop, every accepted connection is served, and traced with an
    // "id: W got: N" line that stays whole (as were the six requests above). Connections never
    // accepted are refused or reset, unread.
    std::atomic<int> answered{0}, cut{0};
    std::atomic<bool> stopped{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 40; ++c) {
        clients.emplace_back([&] {
            for (std::string response; !stopped && response != "<connect failed>";) {
                response = request("name=load\n");
                answered += response == "Hello, load!\n";
                cut += response != "Hello, load!\n" && response != "<connect failed>" &&
                       response != "<Connection reset by peer>";
            }
        });
    }
    EXPECT_TRUE(wait_until([&] { return answered >= 300; }, seconds(20)));
    EXPECT_EQ(stop(kWine ? SIGINT : SIGTERM), 0);  // Wine ends a program at once on SIGTERM
    stopped = true;
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(cut, 0);
    if (kService) return;
    const std::string out = daemon->out();
    const std::regex whole_id_line("\nid: 1[0-9]{2} got: [0-9]+(?=\n)");
    EXPECT_EQ(count(out, "\nfd: "), answered + 6);
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), whole_id_line), {}),
              answered + 6);
}

TEST_F(Daemon, StartedWithStopSignalsBlockedItStopsAndItsChildrenInheritNoDescriptorNorBlock) {
    if (kWine) GTEST_SKIP() << "reads the child's state from /proc";
    start(Process::stop_blocked);
    // Once the listening socket and the ten workers' database connections are open, each marked
    // close-on-exec (a worker marks its connection once connected).
    EXPECT_TRUE(wait_until([this] {
        return count(descriptors(daemon->pid), "socket:") >= 11 &&
               descriptors(daemon->pid, true).empty();
    })) << descriptors(daemon->pid, true);
    const std::string reply = request("cgilet=spawn\n");
    const pid_t child = reply.rfind("child=", 0) == 0 ? std::atoi(reply.c_str() + 6) : 0;
    ASSERT_GT(child, 0) << reply;
    const std::string proc = "/proc/" + std::to_string(child);
    // Once it runs its program (and the loader has closed its files), its standard descriptors
    // are /dev/null and it holds nothing else: no socket, no pipe.
    std::string extra;
    EXPECT_TRUE(wait_until([&] {
        extra = descriptors(child);
        return text_of(proc + "/comm") == "sleep\n" && extra.empty();
    })) << "descriptors the child holds beyond 0, 1 and 2:"
        << extra;
    const std::string status = text_of(proc + "/status");
    kill(child, SIGKILL);
    EXPECT_EQ(count(status, "\nSigBlk:\t0000000000000000\n"), 1) << status;
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, AStopClosesTheListenerFirstThenServesEveryAcceptedConnectionAndTracesEachStep) {
    // Started with SIGINT ignored, as from a non-interactive shell's background, which Wine
    // does not pass on.
    start(kWine ? Process::as_usual : Process::sigint_ignored);
    // Ten requests hold the ten workers until released; an eleventh connection is accepted and
    // waits in the queue.
    std::vector<int> busy;
    for (int i = 0; i < 10; ++i) {
        busy.push_back(connect_to_daemon());
        ASSERT_TRUE(send_all(busy.back(), "cgilet=wait\n"));
    }
    ASSERT_TRUE(daemon->wait_for("cgilet=\"wait\"", 10));
    const int queued = connect_to_daemon();
    ASSERT_TRUE(send_all(queued, "name=queued\n"));
    ASSERT_TRUE(daemon->wait_for("fd: ", 11));
    kill(daemon->pid, SIGINT);
    ASSERT_TRUE(daemon->wait_for("done shutdown...\n"));
    // Nothing more is accepted, while the requests in progress and the queued one are pending.
    // Under Windows Sockets the accepting thread releases the listening socket a moment after the
    // stop has woken it: a client that connects in between is reset, unserved, not refused.
    // Another Ctrl+C meanwhile changes nothing.
    const std::string late = request("name=late\n");
    EXPECT_TRUE(late == "<connect failed>" || (kWine && late == "<Connection reset by peer>"))
        << late;
    kill(daemon->pid, SIGINT);
    EXPECT_TRUE(daemon->running());
    for (int fd : busy) {
        ASSERT_TRUE(send_all(fd, "go\n"));
        EXPECT_EQ(read_all(fd), "released: go\n");
        close(fd);
    }
    EXPECT_EQ(read_all(queued), "Hello, queued!\n");
    close(queued);
    // Ctrl+C after Ctrl+C while the daemon ends, and after its server is gone: still status 0.
    // Under Wine they stop at the last trace line: once the program has returned, Wine's own
    // exit is not the daemon's to guard.
    EXPECT_TRUE(wait_until(
        [&] {
            return (kWine && count(daemon->out(), "\ndone...\n") > 0) ||
                   kill(daemon->pid, SIGINT) != 0 || !daemon->running();
        },
        seconds(20)));
    EXPECT_EQ(stop(0), 0);
    // Each step once; a worker idle at the end leaves through "CGI error thread #".
    const std::string out = daemon->out();
    EXPECT_EQ(out.rfind("run next...\n", 0), 0u) << out;
    EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2)), "\ndone...\n");
    EXPECT_EQ(count(out, "\nshutdown next...\n") + count(out, "\ndone shutdown...\n"), 2);
    for (int id = 100; id < 110; ++id) {
        const std::string n = std::to_string(id);
        EXPECT_LE(count(out, "\nCGI error thread #" + n + "...\n"), 1);
        EXPECT_EQ(count(out, "\ndone thread #" + n + "...\n"), 1);
    }
}

TEST_F(Daemon, HostileClientsCannotHoldTheWorkers) {
    start();
    // Clients of three kinds, each kind enough to hold every worker: silent (150 of them, queued
    // behind the workers: the request line's time counts from acceptance, so they do not wait
    // their turn one after another), sending a byte now and then, never reading a large reply.
    // Under Wine 8 the send timeout does not free a worker from a client that never reads (real
    // Windows is untested), so that kind is left out there.
    std::vector<int> silent, dribbling, deaf;
    for (int i = 0; i < 150; ++i) silent.push_back(connect_to_daemon());
    for (int i = 0; i < 10; ++i) {
        dribbling.push_back(connect_to_daemon());
        if (kWine) continue;
        deaf.push_back(connect_to_daemon());
        send_all(deaf.back(), "cgilet=flood\n");
    }
    auto answer = std::async(std::launch::async, [&] { return request("name=patient\n"); });
    EXPECT_TRUE(wait_until(
        [&] {
            for (int fd : dribbling) send_all(fd, "a");
            return answer.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
        },
        seconds(20)));
    EXPECT_EQ(answer.get(), "Hello, patient!\n");
    // A silent client's request was read as empty and served by "hello".
    for (int fd : silent) EXPECT_EQ(read_all(fd), "Hello, world!\n");
    // A stop with 150 silent clients queued does not wait for their deadlines one after another
    // either, and serves them all. The other clients are still connected.
    for (int& fd : silent) {
        close(fd);
        fd = connect_to_daemon();
    }
    ASSERT_TRUE(wait_until([] { return accept_queue() == 0; })) << "all accepted";
    EXPECT_EQ(stop(kWine ? SIGINT : SIGTERM), 0);
    for (int fd : silent) EXPECT_EQ(read_all(fd), "Hello, world!\n");
    for (const auto* group : {&silent, &dribbling, &deaf}) {
        for (int fd : *group) close(fd);
    }
}

TEST_F(Daemon, ReportsAPortInUseAndExitsWithFailure) {
    const net_tools::tcp_server blocker("127.0.0.1", kPort);
    ASSERT_TRUE(blocker.listening()) << blocker.error_text();
    start(Process::as_usual, /*until_running=*/false);
    EXPECT_NE(stop(0), 0);
    EXPECT_EQ(count(daemon->err(), "127.0.0.1 port " + std::to_string(kPort)), 1) << daemon->err();
    EXPECT_FALSE(fs::exists(dir + "/brix.pid")) << "no pid file is written";
    EXPECT_EQ(count(daemon->out(), "run next..."), 0);
}

TEST_F(Daemon, OutlivesADatabaseThatIsDownOrFrozen) {
    struct BackOnExit {
        ~BackOnExit() { std::system(E2E_DB_SERVER " thaw; " E2E_DB_SERVER " start >/dev/null"); }
    } back_on_exit;
    // Down at start: the workers say so on standard error, serve without the database and
    // connect as soon as it is there.
    db_server("stop");
    start();
    EXPECT_TRUE(std::regex_search(
        daemon->err(), std::regex("^unable to connect to the database...\ndatabase "
                                  "\"test\" on host \"[^\"]+\" as user \"root\": error 200")))
        << daemon->err();
    EXPECT_EQ(request("cgilet=dbname\n"), "database=none\n");
    db_server("start");
    const auto database_answers = [&] {
        return wait_until([&] { return request("cgilet=dbname\n") == "database=test\n"; },
                          seconds(20));
    };
    EXPECT_TRUE(database_answers());

    // Then frozen: every worker sent to it comes back (the connections made after a failed
    // start keep their time limits), so requests without a database go on.
    db_server("freeze");
    const int asked = count(daemon->out(), "cgilet=\"dbname\"");
    std::vector<std::future<std::string>> stuck;
    for (int i = 0; i < 10; ++i)
        stuck.push_back(std::async(std::launch::async, [&] { return request("cgilet=dbname\n"); }));
    ASSERT_TRUE(daemon->wait_for("cgilet=\"dbname\"", asked + 10));
    for (int i = 0; i < 20; ++i) ASSERT_EQ(request("name=thawed\n"), "Hello, thawed!\n");
    for (auto& response : stuck) EXPECT_EQ(response.get().rfind("database=", 0), 0u);
    db_server("thaw");
    EXPECT_TRUE(database_answers());
    EXPECT_EQ(stop(), 0);
}

TEST(BrixCallProgram, ExitStatusTellsWhatTheDaemonDidWithTheRequestOrThatTheUsageIsWrong) {
    // A daemon whose catalog has no "hello": a request without a cgilet field finds nothing.
    // The test cgilet "wait" waits for a second line, which brix-call never sends.
    brix_test::TempDir dir;
    std::ofstream(dir.path() + "/cgi.csv")
        << "\"echo\",\"" E2E_ECHO_CGILET "\",\"make_echo\",\"none\"\n"
        << "\"wait\",\"" E2E_TEST_CGILETS "\",\"make_wait\",\"none\"\n";
    Process daemon({E2E_DAEMON}, dir.path());
    ASSERT_TRUE(daemon.wait_for("run next...")) << daemon.err();
    // A loopback port on which nothing listens (it did a moment ago).
    const std::string closed = std::to_string(net_tools::tcp_server("127.0.0.1", 0).local_port());

    const std::string port = std::to_string(E2E_PORT);
    const std::string peer = "no response from 127.0.0.1:" + port;
    const std::string usage = "\nusage: brix-call [";
    // Each row: the arguments, the exit status, what the program writes (a status 1 or 2 message
    // goes on with the system's reason or the usage).
    const std::vector<std::tuple<std::string, int, std::string>> cases{
        {"cgilet=echo a=1", 0, "a=1\ncgilet=echo\n"},
        {"cgilet=nosuch", 3, peer + " (is nosuch in the catalog?)\n"},
        {"--raw 'a=1&cgilet=no%73uch+2&cgilet=echo'", 3, peer + " (is nosuch 2 in the catalog?)\n"},
        {"name=x", 3, peer + " (is hello in the catalog?)\n"},
        {"-t 1 cgilet=wait", 4, peer + " within 1 s\n"},
        {"-p " + closed + " name=x", 1, "cannot connect to 127.0.0.1:" + closed},
        {"-x", 2, "unknown option: -x" + usage},
        {"name", 2, "not a NAME=VALUE field: name" + usage},
        {"-p", 2, "-p needs a value" + usage},
        {"-t", 2, "-t needs a value" + usage},
        {"--raw", 2, "--raw needs a value" + usage},
        {"-p 0", 2, "not a port number: 0" + usage},
        {"-p 65536", 2, "not a port number: 65536" + usage},
        {"-p 12ab", 2, "not a port number: 12ab" + usage},
        {"-t -1", 2, "not a number of seconds: -1" + usage},
    };
    for (const auto& [args, status, text] : cases) {
        const std::string got = run(BRIX_CALL " -p " + port + " " + args);
        const std::string expected =
            (status == 0 ? "" : "[exit " + std::to_string(status) + "] brix-call: ") + text;
        EXPECT_EQ(got.substr(0, status == 1 || status == 2 ? expected.size() : -1), expected);
    }
}

// The warden programs under Wine's service manager, the daemon played by the stand-in "brix.exe"
// in the Windows folder, where the command interpreter finds it from a service (whose current
// folder it is) and from a console (on the search path). The stand-in writes its trace beside
// itself and ends once brix.exe.end is there.
class WardenPrograms : public ::testing::Test {
  protected:
    void SetUp() override {
        if (kDetached.empty()) GTEST_SKIP() << "the Windows preset's test";
        clean_up();
        fs::copy_file(setting("BRIX_E2E_STAND_IN"), kDaemon, fs::copy_options::overwrite_existing);
    }
    void TearDown() override {
        if (IsSkipped()) return;
        std::ofstream(kDaemon.string() + ".end").close();  // a stand-in still running ends
        EXPECT_TRUE(wait_until([] {
            const std::string trace = text_of(kDaemon.string() + ".trace");
            return count(trace, "BRIx=") == count(trace, "ended");
        }));
        clean_up();
        fs::remove(kDaemon);
        fs::remove_all(kSpaced);
    }
    static void clean_up() {
        wine("sc stop BRIx");
        wine("sc delete BRIx");
        EXPECT_TRUE(service_reaches(0));
        wine("reg delete 'HKLM\\" + kEventSourceKey + "' /f");
        fs::remove(kDaemon.string() + ".trace");
        fs::remove(kDaemon.string() + ".end");
    }
    // Whether the stand-in's trace becomes `expected` within 30 s (stopping the detached variant
    // waits for the end of a heartbeat pause, up to 5.1 s).
    static bool trace_is(const std::string& expected) {
        return wait_until([&] { return text_of(kDaemon.string() + ".trace") == expected; },
                          seconds(30));
    }
    // The configuration in the service's key: error control normal, demand start, an own
    // process that may interact.
    static std::string config(const std::string& path) {
        return "ErrorControl REG_DWORD 0x1\nImagePath REG_SZ " + path +
               "\nStart REG_DWORD 0x3\nType REG_DWORD 0x110\n";
    }

    static inline const std::string kDetached = setting("BRIX_E2E_WARDEN");
    static inline const std::string kForeground = setting("BRIX_E2E_WARDEN_FG");
    static inline const fs::path kWindows =
        setting("WINEPREFIX", fs::path(E2E_WINE_RUN).parent_path().parent_path().string() +
                                  "/build/wine-prefix") +
        "/drive_c/windows";
    static inline const fs::path kDaemon = kWindows / "brix.exe";
    static inline const fs::path kSpaced = kWindows.parent_path() / "brix test";
};

TEST_F(WardenPrograms, SelectInstallAndRemoveTheServiceWithItsEventSource) {
    for (const char* argument : {"/I", "-i", "/", "i", "/x"})
        EXPECT_EQ(wine(kDetached + " " + argument), "") << "selects nothing: " << argument;
    // From a console, text mode runs the daemon as its body; the detached variant without
    // arguments runs it once its dispatcher has failed.
    std::ofstream(kDaemon.string() + ".end").close();
    EXPECT_EQ(wine(kForeground + " /t"), "text mode...\n");
    EXPECT_EQ(wine(kDetached), "");
    EXPECT_TRUE(trace_is("BRIx=0\nended\nBRIx=0\nended\n"));

    // A longer argument that begins with "/i" installs; a second argument is ignored. The path
    // goes unquoted, without arguments.
    EXPECT_EQ(wine(kDetached + " /install /r"), "install service...\n");
    const std::string path = windows_path(kDetached);
    EXPECT_EQ(registry(kServiceKey), config(path));
    EXPECT_EQ(registry(kEventSourceKey),
              "EventMessageFile REG_SZ " + path + "\nTypesSupported REG_DWORD 0x7\n");
    // A second install fails in the SCM, prints its title all the same and leaves the first
    // one's event source as it was.
    wine("reg add 'HKLM\\" + kEventSourceKey + "' /v EventMessageFile /d first /f");
    EXPECT_EQ(wine(kForeground + " /i"), "install service...\n");
    EXPECT_EQ(registry(kEventSourceKey),
              "EventMessageFile REG_SZ first\nTypesSupported REG_DWORD 0x7\n");
    EXPECT_EQ(wine(kDetached + " /r"), "remove service...\n");
    EXPECT_TRUE(service_reaches(0));
    EXPECT_EQ(registry(kEventSourceKey), "");

    // Removing a service that does not exist touches nothing, its event source included.
    wine("reg add 'HKLM\\" + kEventSourceKey + "' /v Marker /d kept /f");
    EXPECT_EQ(wine(kDetached + " /r"), "remove service...\n");
    EXPECT_EQ(registry(kEventSourceKey), "Marker REG_SZ kept\n");
}

TEST_F(WardenPrograms, ForegroundVariantLivesExactlyAsLongAsTheDaemon) {
    ASSERT_EQ(wine(kForeground + " /i"), "install service...\n");
    EXPECT_EQ(wine(kForeground + " /s"), "start service...\n");
    ASSERT_TRUE(trace_is("BRIx=4\n")) << "the daemon runs as the body of the running service";
    // Without any control: the service stops when the daemon ends by itself.
    std::ofstream(kDaemon.string() + ".end").close();
    EXPECT_TRUE(service_reaches(1));
    EXPECT_TRUE(trace_is("BRIx=4\nended\n"));

    // Removal asks for a stop, which leaves the service STOP_PENDING for as long as the daemon
    // runs, and deletes the event source even when the service's deletion fails (already marked).
    fs::remove(kDaemon.string() + ".end");
    EXPECT_EQ(wine(kForeground + " /s"), "start service...\n");
    ASSERT_TRUE(trace_is("BRIx=4\nended\nBRIx=4\n"));
    wine("sc delete BRIx");
    EXPECT_EQ(wine(kForeground + " /r"), "remove service...\n");
    EXPECT_EQ(registry(kEventSourceKey), "");
    EXPECT_EQ(service_state(), 3);
    std::ofstream(kDaemon.string() + ".end").close();
    EXPECT_TRUE(service_reaches(0));
}

// A copy of the detached variant in a folder whose name has a space, so its path is quoted.
TEST_F(WardenPrograms, DetachedVariantBeatsUntilStoppedAndOnlyThenStartsTheDaemon) {
    fs::create_directory(kSpaced);
    fs::copy_file(kDetached, kSpaced / "warden.exe");
    const std::string warden = "'C:\\brix test\\warden.exe'";
    std::ofstream(kDaemon.string() + ".end").close();  // the stand-in leaves its trace and ends

    ASSERT_EQ(wine(warden + " /i"), "install service...\n");
    EXPECT_EQ(registry(kServiceKey), config("\"C:\\brix test\\warden.exe\""));
    EXPECT_EQ(wine(warden + " /s"), "start service...\n");
    ASSERT_TRUE(service_reaches(4));
    EXPECT_EQ(wine(warden + " /q"), "stop service...\n");
    EXPECT_TRUE(service_reaches(1));
    // Only now, and only once: the body never starts the daemon.
    EXPECT_TRUE(trace_is("BRIx=1\nended\n"));
}
