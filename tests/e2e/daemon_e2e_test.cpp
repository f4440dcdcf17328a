// End-to-end tests: the daemon over real sockets and signals (under Wine with BRIX_E2E_WINE, as
// the service "BRIx" with BRIX_E2E_SERVICE), brix-call, and the warden programs under Wine.
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
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
namespace ops = net_tools::socket_ops;
using brix_test::wait_until;
using std::chrono::seconds;

namespace {

std::string setting(const char* name, const std::string& native = "") {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : native;
}
const bool kWine = !setting("BRIX_E2E_WINE").empty();
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

// Output and error of a shell command, after "[exit N] " when it fails. Through a file: what it
// starts detached may hold a pipe open.
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
// Whether the service "BRIx" is or gets in `state` (4 running, 3 stop pending, 1 stopped, 0 none).
bool service_in(int state, seconds patience = seconds(30)) {
    const std::regex report(state == 0 ? "^\\[exit" : "STATE *: " + std::to_string(state) + " ");
    return wait_until([&] { return std::regex_search(wine("sc query BRIx"), report); }, patience);
}
// A service's key as lines "NAME TYPE DATA", without Wine's own values.
std::string registry(const std::string& key) {
    const std::string text =
        wine("reg query 'HKLM\\System\\CurrentControlSet\\Services\\" + key + "'");
    const std::regex value(" {4}(?!DisplayName|ObjectName|Preshutdown)(\\S+) {4}(\\S+) {4}(.*)\n");
    std::string values;
    for (std::sregex_iterator m(text.begin(), text.end(), value), end; m != end; ++m)
        values += m->format("$1 $2 $3\n");
    return values;
}
const std::string kEventSource = "EventLog\\System\\BRIx";  // the key of warden's event source

// A program run in `dir` with output to stdout.txt and stderr.txt there (a Windows one through
// the Wine wrapper, which keeps the program's process id).
class Process {
  public:
    // As a background job of a non-interactive shell, SIGINT is ignored; some supervisors block.
    enum Signals { as_usual, sigint_ignored, stop_blocked };

    Process(std::vector<std::string> command, const std::string& dir, Signals signals = as_usual)
        : dir(dir) {
        std::vector<char*> argv;
        for (std::string& arg : command) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if ((pid = fork()) != 0) return;
        // Async-signal-safe calls only; descriptors 0 to 2 only, so the program's children hold
        // only what it gives them.
        sigset_t mask;
        sigemptyset(&mask);
        if (signals == stop_blocked) sigaddset(&mask, SIGINT), sigaddset(&mask, SIGTERM);
        sigprocmask(SIG_SETMASK, &mask, nullptr);
        if (signals == sigint_ignored) ::signal(SIGINT, SIG_IGN);
        const int flags = O_WRONLY | O_CREAT | O_TRUNC;
        if (chdir(dir.c_str()) == 0 && dup2(open("/dev/null", O_RDONLY), 0) == 0 &&
            dup2(open("stdout.txt", flags, 0644), 1) == 1 &&
            dup2(open("stderr.txt", flags, 0644), 2) == 2 && close_range(3, ~0U, 0) == 0 &&
            setpgid(0, 0) == 0)
            execv(argv[0], argv.data());
        _exit(127);
    }
    ~Process() {
        if (running()) kill(pid, SIGKILL), waitpid(pid, nullptr, 0);
    }

    std::string out(const char* file = "stdout.txt") const { return text_of(dir + "/" + file); }
    bool wait_for(const std::string& text, int times = 1) const {
        return wait_until([&] { return count(out(), text) >= times; }, seconds(20));
    }
    // Once it has ended, `status` is its exit status (128 + the number of a signal that ended it).
    bool running() {
        int s = 0;
        if (status < 0 && waitpid(pid, &s, WNOHANG) == pid)
            status = WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s);
        return status < 0;
    }

    const std::string dir;
    pid_t pid = -1;
    int status = -1;
};

// Targets of `pid`'s descriptors above 2 (" socket:[N] /a/path..."), optionally only inheritable.
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
// What comes on `fd` until the peer closes, then "<error text>" if it ended otherwise (a reset
// can destroy an unread response; 20 s of silence). Closes `fd`.
std::string read_all(int fd) {
    ops::set_receive_timeout(fd, 20000);
    std::string data;
    char chunk[4096];
    long n;
    while ((n = ops::receive(fd, chunk, sizeof chunk)) > 0) data.append(chunk, std::size_t(n));
    if (n != 0) data += "<" + ops::error_text(ops::last_error()) + ">";
    close(fd);
    return data;
}
// The response, or "<connect failed>" (a connection never accepted is reset: the send may fail).
std::string request(const std::string& line) {
    const int fd = connect_to_daemon();
    if (fd >= 0 && send_all(fd, line)) return read_all(fd);
    if (fd >= 0) close(fd);
    return "<connect failed>";
}

std::string row(const std::string& name, const std::string& library, const char* db = "none") {
    return '"' + name + "\",\"" + library + "\",\"make_" + name + "\",\"" + db + "\"\n";
}

class Daemon : public ::testing::Test {
  protected:
    void start(Process::Signals signals = Process::as_usual, bool until_running = true) {
        fs::create_directory(dir);
        std::ofstream(dir + "/cgi.csv", std::ios::binary)
            << row("hello", hello) << row("echo", echo) << row("throw", test) << row("wait", test)
            << row("flood", test) << row("spawn", test) << row("dbname", test, "test");
        if (kService) return install_service();
        std::vector<std::string> command{built.string()};
        if (kWine) command.insert(command.begin(), E2E_WINE_RUN);
        daemon = std::make_unique<Process>(command, dir, signals);
        EXPECT_TRUE(!until_running || daemon->wait_for(" start...\n", 10));
    }

    // The service host copied beside catalog and cgilets, in a folder with a space in its name.
    void install_service() {
        for (const fs::path file : {hello, echo, test, built.filename().string()})
            fs::copy_file(built.parent_path() / file, fs::path(dir) / file);
        const std::string path = "Z:" + std::regex_replace(dir, std::regex("/"), "\\") + "\\" +
                                 built.filename().string();
        service = "'" + path + "'";
        wine("sc delete BRIx");  // left by an interrupted run
        // Silently: the dispatcher fails from a console; nothing to uninstall; any letter case,
        // further arguments ignored; an install from elsewhere keeps the first.
        const std::string other = "'" + built.string() + "'";
        for (const std::string& command :
             {other, other + " uninstall", service + " InStAlL more", other + " install"})
            EXPECT_EQ(wine(command), "") << command;
        EXPECT_EQ(registry("BRIx"), "ErrorControl REG_DWORD 0x0\nImagePath REG_SZ \"" + path +
                                        "\"\nStart REG_DWORD 0x2\nType REG_DWORD 0x10\n");
        wine("sc start BRIx");
        // Started in the Windows folder, it finds its catalog and cgilets beside itself.
        EXPECT_TRUE(
            wait_until([] { return request("name=ready\n") == "Hello, ready!\n"; }, seconds(20)));
        EXPECT_EQ(wine(service + " uninstall"), "");
        EXPECT_TRUE(service_in(4, seconds(0))) << "a running service is not uninstalled";
    }
    void TearDown() override {  // a service that no stop ended is killed and removed
        if (!service.empty() && stop() != 0)
            wine("taskkill /f /im " + built.filename().string()), wine("sc delete BRIx");
    }

    // Stops with `sig` (0: an end under way): the exit status. The service is stopped, then
    // uninstalled: 0 when it reports no error.
    int stop(int sig = SIGINT) {
        if (kService) {
            wine("sc stop BRIx");
            const bool stopped = service_in(1, seconds(20));
            const std::string report = wine("sc query BRIx");
            EXPECT_EQ(wine(service + " UNINSTALL"), "");
            EXPECT_TRUE(stopped && service_in(0)) << report;
            if (stopped) service.clear();
            return std::regex_search(report, std::regex("WIN32_EXIT_CODE *: 0 ")) ? 0 : 1;
        }
        kill(daemon->pid, sig);
        EXPECT_TRUE(wait_until([&] { return !daemon->running(); }, seconds(20))) << daemon->out();
        return daemon->status;
    }

    brix_test::TempDir temp;
    const std::string dir = temp.path() + "/brix e2e";
    const fs::path built = setting("BRIX_E2E_DAEMON", E2E_DAEMON);
    const std::string hello = setting("BRIX_E2E_HELLO_CGILET", E2E_HELLO_CGILET);
    const std::string echo = setting("BRIX_E2E_ECHO_CGILET", E2E_ECHO_CGILET);
    const std::string test = setting("BRIX_E2E_TEST_CGILETS", E2E_TEST_CGILETS);
    std::unique_ptr<Process> daemon;
    std::string service;  // the installed program's Windows path, quoted for the shell
};

}  // namespace

TEST_F(Daemon, ReadsServesAndTracesEachRequestWholeAndInOrderAndPassesOnNoDescriptorNorBlock) {
    start(kWine ? Process::as_usual : Process::stop_blocked);  // as some supervisors start it
    if (!kWine) {
        // Once connected (the client library's sockets are inheritable until then), every
        // descriptor closes on exec: a cgilet's child inherits none but 0 to 2, no blocked signal.
        EXPECT_TRUE(wait_until([this] {
            return count(descriptors(daemon->pid), "socket:") >= 11 &&
                   descriptors(daemon->pid, true).empty();
        })) << descriptors(daemon->pid, true);
        const std::string reply = request("cgilet=spawn\n");
        const pid_t child = reply.rfind("child=", 0) == 0 ? std::atoi(reply.c_str() + 6) : 0;
        ASSERT_GT(child, 0) << reply;
        const std::string proc = "/proc/" + std::to_string(child);
        EXPECT_TRUE(wait_until([&] {  // once the loader has closed its files
            return text_of(proc + "/comm") == "sleep\n" && descriptors(child).empty();
        })) << descriptors(child);
        EXPECT_EQ(count(text_of(proc + "/status"), "\nSigBlk:\t0000000000000000\n"), 1);
        kill(child, SIGKILL);
    }
    ASSERT_EQ(request("cgilet=hello\n"), "Hello, world!\n");
    // An unknown cgilet gets nothing; its name is traced escaped, so a request cannot forge trace
    // lines. A throwing cgilet is traced and its worker goes on.
    EXPECT_EQ(request("cgilet=%0Ashutdown next...%0D%0Afd: 7%7F%250A%C3%A9\n"), "");
    EXPECT_EQ(request("cgilet=throw\n"), "");
    EXPECT_TRUE(kService || daemon->wait_for("CGI error thread #"));
    // The request line is the first 1024 characters or up to a line feed; the rest stays for the
    // cgilet. Unread input must not turn the close into a reset.
    const std::string line = "cgilet=wait&x=" + std::string(2000 - 14, 'y') + "\n";
    EXPECT_EQ(request(line), "released: " + std::string(976, 'y') + "\n");
    EXPECT_EQ(request("cgilet=echo&x=" + std::string(3000, 'y') + "\n"),
              "cgilet=echo\nx=" + std::string(1024 - 14, 'y') + "\n");

    // Under load and through a stop every accepted connection is served and traced with a whole
    // "id: W got: N" line; those never accepted are refused or reset.
    std::atomic<int> answered{kWine ? 5 : 6}, cut{0};
    std::atomic<bool> stopped{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 40; ++c)
        clients.emplace_back([&] {
            for (std::string response; !stopped && response != "<connect failed>";) {
                response = request("name=load\n");
                answered += response == "Hello, load!\n";
                cut += response != "Hello, load!\n" && response != "<connect failed>" &&
                       response != "<Connection reset by peer>";
            }
        });
    EXPECT_TRUE(wait_until([&] { return answered >= 300; }, seconds(20)));
    EXPECT_EQ(stop(kWine ? SIGINT : SIGTERM), 0);  // Wine ends a program at once on SIGTERM
    stopped = true;
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(cut, 0);
    if (kService) return;
    const std::string out = daemon->out();
    const std::string pid = kWine ? "[1-9][0-9]*" : std::to_string(daemon->pid);  // Wine's own
    EXPECT_TRUE(std::regex_match(text_of(dir + "/brix.pid"), std::regex(pid + "\n")));
    EXPECT_TRUE(std::regex_search(out, std::regex("\nfd: ([0-9]+)\nid: 1[0-9]{2} got: \\1\n"
                                                  "process request...\ncgilet=\"hello\"\n"
                                                  "process request #4\n")));
    EXPECT_EQ(count(out, "\ncgilet=\"%0Ashutdown next...%0D%0Afd: 7%7F%250A%C3%A9\"\n"), 1) << out;
    const std::regex whole_id_line("\nid: 1[0-9]{2} got: [0-9]+(?=\n)");
    EXPECT_EQ(count(out, "\nfd: "), answered);
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), whole_id_line), {}),
              answered);
}

TEST_F(Daemon, AStopClosesTheListenerFirstThenServesEveryAcceptedConnectionAndTracesEachStep) {
    // SIGINT ignored, as a non-interactive shell starts it. Ten workers held, an eleventh queued.
    start(kWine ? Process::as_usual : Process::sigint_ignored);
    std::vector<int> busy(10);
    for (int& fd : busy) ASSERT_TRUE(send_all(fd = connect_to_daemon(), "cgilet=wait\n"));
    ASSERT_TRUE(daemon->wait_for("cgilet=\"wait\"", 10));
    const int queued = connect_to_daemon();
    ASSERT_TRUE(send_all(queued, "name=queued\n"));
    ASSERT_TRUE(daemon->wait_for("fd: ", 11));
    kill(daemon->pid, SIGINT);
    ASSERT_TRUE(daemon->wait_for("done shutdown...\n"));
    // Nothing more is accepted (Windows Sockets may reset a client in between) while those taken
    // are pending; another Ctrl+C changes nothing.
    const std::string late = request("name=late\n");
    EXPECT_TRUE(late == "<connect failed>" || (kWine && late == "<Connection reset by peer>"))
        << late;
    kill(daemon->pid, SIGINT);
    EXPECT_TRUE(daemon->running());
    for (int fd : busy) EXPECT_EQ(send_all(fd, "go\n") ? read_all(fd) : "", "released: go\n");
    EXPECT_EQ(read_all(queued), "Hello, queued!\n");
    // Ctrl+C after Ctrl+C while it ends: still status 0 (under Wine, until its last trace line).
    EXPECT_TRUE(wait_until(
        [&] {
            return (kWine && count(daemon->out(), "\ndone...\n") > 0) ||
                   kill(daemon->pid, SIGINT) != 0 || !daemon->running();
        },
        seconds(20)));
    EXPECT_EQ(stop(0), 0);
    // Each step once; an idle worker leaves through "CGI error thread #".
    const std::string out = daemon->out();
    EXPECT_EQ(out.rfind("run next...\n", 0), 0u) << out;
    EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2)), "\ndone...\n");
    EXPECT_EQ(count(out, "\nshutdown next...\n") + count(out, "\ndone shutdown...\n"), 2);
    EXPECT_LE(count(out, "\nCGI error thread #"), 10);
    EXPECT_EQ(count(out, "\ndone thread #"), 10);
}

TEST_F(Daemon, HostileClientsCannotHoldTheWorkers) {
    start();
    // Enough of each kind to hold every worker: silent (150: their time counts from acceptance,
    // not one after another), dribbling, not reading a large reply (not under Wine 8).
    std::vector<int> silent(150), dribbling(10), deaf(kWine ? 0 : 10);
    for (auto* group : {&silent, &dribbling, &deaf})
        for (int& fd : *group) fd = connect_to_daemon();
    for (int fd : deaf) send_all(fd, "cgilet=flood\n");
    auto answer = std::async(std::launch::async, [&] { return request("name=patient\n"); });
    EXPECT_TRUE(wait_until(
        [&] {
            for (int fd : dribbling) send_all(fd, "a");
            return answer.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
        },
        seconds(20)));
    EXPECT_EQ(answer.get(), "Hello, patient!\n");
    // A silent request is empty, served by "hello".
    for (int fd : silent) EXPECT_EQ(read_all(fd), "Hello, world!\n");
    for (const auto* group : {&dribbling, &deaf})
        for (int fd : *group) close(fd);
    EXPECT_EQ(stop(kWine ? SIGINT : SIGTERM), 0);
}

TEST_F(Daemon, ReportsAPortInUseAndExitsWithFailure) {
    const net_tools::tcp_server blocker("127.0.0.1", kPort);  // or whoever holds the port now
    start(Process::as_usual, /*until_running=*/false);
    EXPECT_NE(stop(0), 0);
    EXPECT_EQ(count(daemon->out("stderr.txt"), "127.0.0.1 port " + std::to_string(kPort)), 1);
    EXPECT_FALSE(fs::exists(dir + "/brix.pid") || count(daemon->out(), "run next...") > 0);
}

TEST_F(Daemon, OutlivesADatabaseThatIsDownOrFrozen) {
    struct BackOnExit {
        ~BackOnExit() { std::system(E2E_DB_SERVER " thaw; " E2E_DB_SERVER " start >/dev/null"); }
    } back_on_exit;
    // Down at start: said, served without, connected once it is there.
    ASSERT_EQ(std::system(E2E_DB_SERVER " stop >/dev/null"), 0);
    start();
    const std::regex down(R"(^unable to connect to the database...\ndatabase "test" on host )"
                          R"("[^"]+" as user "root": error 200)");
    EXPECT_TRUE(wait_until([&] { return std::regex_search(daemon->out("stderr.txt"), down); }))
        << daemon->out("stderr.txt");
    EXPECT_EQ(request("cgilet=dbname\n"), "database=none\n");
    ASSERT_EQ(std::system(E2E_DB_SERVER " start >/dev/null"), 0);
    const auto database_answers = [&] {
        return wait_until([&] { return request("cgilet=dbname\n") == "database=test\n"; },
                          seconds(20));
    };
    EXPECT_TRUE(database_answers());
    // Frozen: every worker comes back (time limits on late connections too); others go on.
    ASSERT_EQ(std::system(E2E_DB_SERVER " freeze >/dev/null"), 0);
    const int asked = count(daemon->out(), "cgilet=\"dbname\"");
    std::vector<std::future<std::string>> stuck(10);
    for (auto& answer : stuck)
        answer = std::async(std::launch::async, [] { return request("cgilet=dbname\n"); });
    ASSERT_TRUE(daemon->wait_for("cgilet=\"dbname\"", asked + 10));
    for (int i = 0; i < 20; ++i) ASSERT_EQ(request("name=thawed\n"), "Hello, thawed!\n");
    for (auto& response : stuck) EXPECT_EQ(response.get().rfind("database=", 0), 0u);
    ASSERT_EQ(std::system(E2E_DB_SERVER " thaw >/dev/null"), 0);
    EXPECT_TRUE(database_answers());
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, BrixCallsExitStatusTellsWhatTheDaemonDidWithTheRequestOrThatTheUsageIsWrong) {
    start();  // "wait" waits for a second line, which brix-call never sends
    const std::string closed = std::to_string(net_tools::tcp_server("127.0.0.1", 0).local_port());
    const std::string port = std::to_string(kPort);
    const std::string peer = "no response from 127.0.0.1:" + port;
    const std::string usage = "\nusage: brix-call [";
    // Arguments, exit status, output (for 1 and 2 its start only).
    const std::tuple<std::string, int, std::string> cases[] = {
        {"cgilet=echo a=1", 0, "a=1\ncgilet=echo\n"},
        {"cgilet=nosuch", 3, peer + " (is nosuch in the catalog?)\n"},
        {"--raw 'a=1&cgilet=no%73uch+2&cgilet=echo'", 3, peer + " (is nosuch 2 in the catalog?)\n"},
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

// The daemon is a stand-in "brix.exe" in the Windows folder (found from a service and a console):
// it writes brix.exe.trace and ends once brix.exe.end is there.
class WardenPrograms : public ::testing::Test {
  protected:
    void SetUp() override {
        if (kDetached.empty()) GTEST_SKIP() << "the Windows preset's test";
        TearDown();
        fs::copy_file(setting("BRIX_E2E_STAND_IN"), kDaemon);
    }
    void TearDown() override {
        if (kDetached.empty()) return;
        end_daemon();  // and waits until every stand-in has ended
        EXPECT_TRUE(wait_until([] { return count(trace(), "BRIx=") == count(trace(), "ended"); }));
        for (const char* command : {"sc stop BRIx", "sc delete BRIx"}) wine(command);
        EXPECT_TRUE(service_in(0));
        wine("reg delete 'HKLM\\System\\CurrentControlSet\\Services\\" + kEventSource + "' /f");
        for (const char* file : {"", ".trace", ".end"}) fs::remove(kDaemon.string() + file);
        fs::remove_all(kSpaced);
    }
    static void end_daemon() { std::ofstream(kDaemon.string() + ".end").close(); }
    static std::string trace() { return text_of(kDaemon.string() + ".trace"); }
    static bool trace_is(const std::string& expected) {
        return wait_until([&] { return trace() == expected; }, seconds(30));
    }
    static std::string config(const std::string& path) {
        return "ErrorControl REG_DWORD 0x1\nImagePath REG_SZ " + path +
               "\nStart REG_DWORD 0x3\nType REG_DWORD 0x110\n";
    }

    static inline const std::string kDetached = setting("BRIX_E2E_WARDEN");
    static inline const std::string kForeground = setting("BRIX_E2E_WARDEN_FG");
    static inline const fs::path kDaemon =
        setting("WINEPREFIX", fs::path(E2E_WINE_RUN).parent_path().parent_path().string() +
                                  "/build/wine-prefix") +
        "/drive_c/windows/brix.exe";
    static inline const fs::path kSpaced = kDaemon.parent_path().parent_path() / "brix test";
};

TEST_F(WardenPrograms, SelectInstallAndRemoveTheServiceWithItsEventSource) {
    for (const char* argument : {"/I", "-i", "/", "i", "/x"})
        EXPECT_EQ(wine(kDetached + " " + argument), "") << "selects nothing: " << argument;
    // From a console: text mode, and no argument once the dispatcher failed, run the daemon.
    end_daemon();
    EXPECT_EQ(wine(kForeground + " /t"), "text mode...\n");
    EXPECT_EQ(wine(kDetached), "");
    EXPECT_TRUE(trace_is("BRIx=0\nended\nBRIx=0\nended\n"));

    // What begins with "/i" installs; a second argument is ignored. The path goes unquoted.
    EXPECT_EQ(wine(kDetached + " /install /r"), "install service...\n");
    const std::string path = "Z:" + std::regex_replace(kDetached, std::regex("/"), "\\");
    EXPECT_EQ(registry("BRIx"), config(path));
    const std::string source = "EventMessageFile REG_SZ %s\nTypesSupported REG_DWORD 0x7\n";
    EXPECT_EQ(registry(kEventSource), std::regex_replace(source, std::regex("%s"), path));
    // A second install fails, prints its title all the same and keeps the first's event source.
    const std::string add = "reg add 'HKLM\\System\\CurrentControlSet\\Services\\" + kEventSource;
    wine(add + "' /v EventMessageFile /d first /f");
    EXPECT_EQ(wine(kForeground + " /i"), "install service...\n");
    EXPECT_EQ(registry(kEventSource), std::regex_replace(source, std::regex("%s"), "first"));
    EXPECT_EQ(wine(kDetached + " /r"), "remove service...\n");
    EXPECT_TRUE(service_in(0));
    EXPECT_EQ(registry(kEventSource), "");
    // Removing a service that does not exist touches nothing, its event source included.
    wine(add + "' /v Marker /d kept /f");
    EXPECT_EQ(wine(kDetached + " /r"), "remove service...\n");
    EXPECT_EQ(registry(kEventSource), "Marker REG_SZ kept\n");
}

TEST_F(WardenPrograms, ForegroundVariantLivesExactlyAsLongAsTheDaemon) {
    ASSERT_EQ(wine(kForeground + " /i"), "install service...\n");
    EXPECT_EQ(wine(kForeground + " /s"), "start service...\n");
    ASSERT_TRUE(trace_is("BRIx=4\n")) << "the daemon runs as the body of the running service";
    // Without any control: the service stops when the daemon ends by itself.
    end_daemon();
    EXPECT_TRUE(service_in(1));
    EXPECT_TRUE(trace_is("BRIx=4\nended\n"));
    // Removal asks for a stop (pending while the daemon runs) and deletes the event source even
    // when the deletion fails (already marked).
    fs::remove(kDaemon.string() + ".end");
    EXPECT_EQ(wine(kForeground + " /s"), "start service...\n");
    ASSERT_TRUE(trace_is("BRIx=4\nended\nBRIx=4\n"));
    wine("sc delete BRIx");
    EXPECT_EQ(wine(kForeground + " /r"), "remove service...\n");
    EXPECT_EQ(registry(kEventSource), "");
    EXPECT_TRUE(service_in(3, seconds(0)));
    end_daemon();
    EXPECT_TRUE(service_in(0));
}

// A copy of the detached variant in a folder whose name has a space, so its path is quoted.
TEST_F(WardenPrograms, DetachedVariantBeatsUntilStoppedAndOnlyThenStartsTheDaemon) {
    fs::create_directory(kSpaced);
    fs::copy_file(kDetached, kSpaced / "warden.exe");
    const std::string warden = "'C:\\brix test\\warden.exe'";
    end_daemon();  // the stand-in leaves its trace and ends at once
    ASSERT_EQ(wine(warden + " /i"), "install service...\n");
    EXPECT_EQ(registry("BRIx"), config("\"C:\\brix test\\warden.exe\""));
    EXPECT_EQ(wine(warden + " /s"), "start service...\n");
    ASSERT_TRUE(service_in(4));
    EXPECT_EQ(wine(warden + " /q"), "stop service...\n");
    EXPECT_TRUE(service_in(1));
    // Only now, and only once: the body never starts the daemon.
    EXPECT_TRUE(trace_is("BRIx=1\nended\n"));
}
