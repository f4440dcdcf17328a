// End-to-end tests: the real daemon program, started as a process with a test catalog and the test
// cgilets, driven over real sockets and stopped with real signals. The same tests run the Windows
// daemon under Wine when BRIX_E2E_WINE is set (see tests/e2e/CMakeLists.txt).
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/daemon_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

using brix_e2e::call;
using brix_e2e::DaemonProcess;
using brix_e2e::lines_of;

namespace {

std::string env_or(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

// Where the daemon under test and its libraries are, set by CMake for the native build and by
// the environment for the Windows build.
struct Target {
    bool wine = !env_or("BRIX_E2E_WINE", "").empty();
    std::string daemon = env_or("BRIX_E2E_DAEMON", E2E_DAEMON);
    std::string wine_run = env_or("BRIX_E2E_WINE_RUN", E2E_WINE_RUN);
    std::string test_cgilets = env_or("BRIX_E2E_TEST_CGILETS", E2E_TEST_CGILETS);
    std::string echo_cgilet = env_or("BRIX_E2E_ECHO_CGILET", E2E_ECHO_CGILET);
    std::string hello_cgilet = env_or("BRIX_E2E_HELLO_CGILET", E2E_HELLO_CGILET);
    std::string db_server = E2E_DB_SERVER;
    std::string brix_call = E2E_BRIX_CALL;
    int port = std::atoi(env_or("BRIX_E2E_PORT", std::to_string(E2E_PORT)).c_str());
};

const Target& target() {
    static const Target t;
    return t;
}

std::string row(const std::string& name, const std::string& library, const std::string& factory,
                const std::string& catalog) {
    return "\"" + name + "\",\"" + library + "\",\"" + factory + "\",\"" + catalog + "\"\n";
}

// The catalog every test daemon serves, written into its working folder.
std::string test_catalog() {
    const Target& t = target();
    return row("hello", t.hello_cgilet, "make_hello", "none") +
           row("echo", t.echo_cgilet, "make_echo", "none") +
           row("throw", t.test_cgilets, "make_throw", "none") +
           row("rest", t.test_cgilets, "make_rest", "none") +
           row("wait", t.test_cgilets, "make_wait", "none") +
           row("flood", t.test_cgilets, "make_flood", "none") +
           row("dbname", t.test_cgilets, "make_dbname", "test") +
           row("dbmissing", t.test_cgilets, "make_dbname", "brix_no_such_database") +
           row("dbnone", t.test_cgilets, "make_dbname", "none") +
           row("broken", t.test_cgilets, "make_nothing", "none") +
           row("throwing", t.test_cgilets, "make_throwing", "none") +
           // A plug-in thread, alive from start-up to teardown: every stop below goes through it.
           row("ticker", t.test_cgilets, "make_ticker", "none") +
           row("spawn", t.test_cgilets, "make_spawn", "none");
}

// The descriptors above 2 of process `pid`, as " N -> target" each; with `open_on_exec` only those
// without close-on-exec.
std::string descriptors(pid_t pid, bool open_on_exec = false) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string listed;
    DIR* fds = opendir((proc + "/fd").c_str());
    if (fds == nullptr) return "<gone>";
    while (const dirent* entry = readdir(fds)) {
        if (std::atoi(entry->d_name) <= 2) continue;
        std::ifstream info(proc + "/fdinfo/" + entry->d_name);
        std::string field;
        unsigned long flags = 0;
        while (info >> field && field != "flags:") {
        }
        info >> std::oct >> flags;
        if (open_on_exec && (flags & O_CLOEXEC) != 0) continue;
        char target[256] = {};
        readlink((proc + "/fd/" + entry->d_name).c_str(), target, sizeof target - 1);
        listed += std::string(" ") + entry->d_name + " -> " + target;
    }
    closedir(fds);
    return listed;
}

class Daemon : public ::testing::Test {
  protected:
    // Starts the daemon with the test catalog and waits until its ten workers run.
    void start(const std::string& catalog = test_catalog()) {
        std::ofstream(dir.path() + "/cgi.csv", std::ios::binary) << catalog;
        std::vector<std::string> command;
        if (target().wine) command.push_back(target().wine_run);
        command.push_back(target().daemon);
        daemon = std::make_unique<DaemonProcess>(command, dir.path());
        for (int id = 100; id < 110; ++id) {
            ASSERT_TRUE(daemon->wait_for_lines("thread #" + std::to_string(id) + " start...", 1))
                << "worker " << id << " did not start\n"
                << daemon->out() << daemon->err();
        }
    }

    // Stops the daemon with `sig` and returns its exit status.
    int stop(int sig = SIGINT) {
        daemon->signal(sig);
        int status = -1;
        EXPECT_TRUE(daemon->wait_exit(status)) << "the daemon did not stop\n" << daemon->out();
        return status;
    }

    std::string request(const std::string& line, bool half_close = false) {
        return call(target().port, line, half_close);
    }

    int connect_to_daemon() {
        const int fd = brix_e2e::connect_to(target().port);
        EXPECT_GE(fd, 0);
        return fd;
    }

    // How often `text` occurs in the daemon's output so far.
    int count_of(const std::string& text) const {
        const std::string out = daemon->out();
        int count = 0;
        for (auto at = out.find(text); at != std::string::npos; at = out.find(text, at + 1))
            ++count;
        return count;
    }

    static void db_server(const std::string& command) {
        ASSERT_EQ(std::system((target().db_server + " " + command + " >/dev/null").c_str()), 0)
            << "db-server.sh " << command;
    }

    // Brings the database server back at the end of a test that stopped it, whatever happened.
    struct DatabaseBackOnExit {
        ~DatabaseBackOnExit() { std::system((target().db_server + " start >/dev/null").c_str()); }
    };

    brix_test::TempDir dir;
    std::unique_ptr<DaemonProcess> daemon;
};

}  // namespace

TEST_F(Daemon, ServesTheRequestLinesOfTheWorker) {
    start();
    EXPECT_EQ(request("cgilet=hello&name=World\n"), "Hello, World!\n");
    // No cgilet field, an empty line and an empty value all select "hello".
    EXPECT_EQ(request("name=you\n"), "Hello, you!\n");
    EXPECT_EQ(request("\n"), "Hello, world!\n");
    EXPECT_EQ(request("cgilet=&name=x\n"), "Hello, x!\n");
    // A client that closes at once is served an empty request.
    EXPECT_EQ(request("", true), "Hello, world!\n");
    // Decoding, repeated fields, encoded separators, extra "=".
    EXPECT_EQ(request("cgilet=echo&a=x%26y&b=1+2&c=d=e&&b=3&&\n"),
              "a=x&y\nb=1 2\nb=3\nc=d=e\ncgilet=echo\n");
    EXPECT_EQ(request("cgilet=echo&cgilet=hello\n"), "cgilet=echo\ncgilet=hello\n");
    // An unknown cgilet gets a closed connection and no data.
    EXPECT_EQ(request("cgilet=nosuch\n"), "");
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, KeepsACarriageReturnInTheLastValue) {
    start();
    EXPECT_EQ(request("cgilet=echo&a=1\r\n"), "a=1%0D\ncgilet=echo\n");
    // Here the carriage return ends the cgilet's name, which then matches no entry.
    EXPECT_EQ(request("a=1&cgilet=echo\r\n"), "");
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, ReadsAtMost1024CharactersAndLeavesTheRestForTheCgilet) {
    start();
    const std::string line = "cgilet=rest&x=" + std::string(2000 - 14, 'y');
    // The first 1024 characters are the request line; the other 976 and the line feed stay in the
    // socket for the cgilet.
    EXPECT_EQ(request(line + "\n", true), "rest=977:" + std::string(976, 'y') + "\n");
    EXPECT_EQ(request("cgilet=rest\nmore data", true), "rest=9:more data");
    // Input nobody reads (here the end of a long line) must not turn the end of the connection
    // into a reset, which can destroy the response before the client has read it.
    const int fd = brix_e2e::connect_to(target().port);
    ASSERT_TRUE(brix_e2e::send_all(fd, "cgilet=echo&x=" + std::string(3000, 'y') + "\n"));
    std::string response;
    char chunk[4096];
    ssize_t n;
    while ((n = recv(fd, chunk, sizeof chunk, 0)) > 0) response.append(chunk, std::size_t(n));
    EXPECT_EQ(n, 0) << "the connection ended with: " << strerror(errno);
    EXPECT_EQ(response, "cgilet=echo\nx=" + std::string(1024 - 14, 'y') + "\n");
    close(fd);
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, AThrowingCgiletIsTracedAndTheWorkerGoesOn) {
    start();
    EXPECT_EQ(request("cgilet=throw\n"), "");
    EXPECT_TRUE(daemon->wait_for_text("CGI error thread #"));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(request("name=again\n"), "Hello, again!\n");
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, TracesANoneRequestInOrder) {
    start();
    ASSERT_EQ(request("cgilet=hello\n"), "Hello, world!\n");
    ASSERT_TRUE(daemon->wait_for_text("process request #4\n"));
    const std::vector<std::string> lines = lines_of(daemon->out());
    auto fd_line = std::find_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.rfind("fd: ", 0) == 0; });
    ASSERT_NE(fd_line, lines.end());
    const std::string fd = fd_line->substr(4);
    ASSERT_GE(lines.end() - fd_line, 5);
    EXPECT_EQ(fd_line[1].substr(0, 4), "id: ");
    EXPECT_NE(fd_line[1].find(" got: " + fd), std::string::npos) << fd_line[1];
    EXPECT_EQ(fd_line[2], "process request...");
    EXPECT_EQ(fd_line[3], "cgilet=\"hello\"");
    EXPECT_EQ(fd_line[4], "process request #4");

    // Control bytes of a name show as %XX: a request cannot write lines of its own.
    EXPECT_EQ(request("cgilet=%0Ashutdown next...%0D%0Afd: 7%7F\n"), "");
    EXPECT_TRUE(daemon->wait_for_lines("cgilet=\"%0Ashutdown next...%0D%0Afd: 7%7F\"", 1));
    EXPECT_EQ(daemon->out().find("\nshutdown next..."), std::string::npos);

    // Under load every worker's "id: W got: N" line stays whole, one per accepted connection.
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c) {
        clients.emplace_back([this] {
            for (int i = 0; i < 50; ++i) request("name=load\n");
        });
    }
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(stop(), 0);
    int fd_lines = 0, id_lines = 0;
    for (const std::string& line : lines_of(daemon->out())) {
        fd_lines += line.rfind("fd: ", 0) == 0;
        id_lines += std::regex_match(line, std::regex("id: 1[0-9][0-9] got: [0-9]+"));
    }
    EXPECT_EQ(fd_lines, 402);
    EXPECT_EQ(id_lines, 402);
}

TEST_F(Daemon, ChildrenOfACgiletInheritNoDescriptorAndNoBlockedSignal) {
    if (target().wine) GTEST_SKIP() << "reads the child's state from /proc";
    start();
    // The listening socket and the ten workers' database connections, each marked close-on-exec
    // (a worker marks its connection once connected).
    const auto settled = [this] {
        const std::string held = descriptors(daemon->pid());
        int sockets = 0;
        for (auto at = held.find("socket:"); at != std::string::npos;
             at = held.find("socket:", at + 1))
            ++sockets;
        return sockets >= 11 && descriptors(daemon->pid(), true).empty();
    };
    EXPECT_TRUE(brix_test::wait_until(settled)) << descriptors(daemon->pid(), true);
    const std::string reply = request("cgilet=spawn\n");
    ASSERT_EQ(reply.rfind("child=", 0), 0u) << reply;
    const pid_t child = std::atoi(reply.c_str() + 6);
    ASSERT_GT(child, 0) << reply;
    const std::string proc = "/proc/" + std::to_string(child);
    // Once it runs its program (and the loader has closed its files), its standard descriptors
    // are /dev/null and it holds nothing else: no socket, no pipe.
    std::string extra;
    EXPECT_TRUE(brix_test::wait_until([&] {
        std::string name;
        std::getline(std::ifstream(proc + "/comm"), name);
        extra = descriptors(child);
        return name == "sleep" && extra.empty();
    })) << "descriptors the child holds beyond 0, 1 and 2:"
        << extra;
    std::ifstream status(proc + "/status");
    std::string blocked;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigBlk:", 0) == 0) blocked = line;
    }
    kill(child, SIGKILL);
    EXPECT_EQ(blocked, "SigBlk:\t0000000000000000");
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, StopsInOrderOnSigintWhenIdle) {
    start();
    EXPECT_EQ(request("cgilet=ticker\n"), "ticking\n");
    EXPECT_EQ(stop(SIGINT), 0);
    const std::vector<std::string> lines = lines_of(daemon->out());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "run next...");
    EXPECT_EQ(lines.back(), "done...");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "shutdown next..."), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "done shutdown..."), 1);
    // A worker waiting for a request leaves through "CGI error thread #"; one that has not reached
    // its loop yet (it connects to the database first) ends without it.
    for (int id = 100; id < 110; ++id) {
        const std::string n = std::to_string(id);
        EXPECT_LE(std::count(lines.begin(), lines.end(), "CGI error thread #" + n + "..."), 1);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "done thread #" + n + "..."), 1);
    }
}

TEST_F(Daemon, StopsOnSigtermWhenIdle) {
    if (target().wine) GTEST_SKIP() << "Wine ends a program at once on SIGTERM; no handler runs";
    start();
    EXPECT_EQ(stop(SIGTERM), 0);
    EXPECT_EQ(lines_of(daemon->out()).back(), "done...");
}

TEST_F(Daemon, FinishesTheRequestInProgressWhenStopped) {
    start();
    const int fd = brix_e2e::connect_to(target().port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(brix_e2e::send_all(fd, "cgilet=wait\n"));
    ASSERT_TRUE(daemon->wait_for_text("cgilet=\"wait\""));
    daemon->signal(SIGINT);
    ASSERT_TRUE(daemon->wait_for_text("done shutdown..."));
    // Nine idle workers end; the busy one is still in its request.
    EXPECT_TRUE(daemon->running());
    ASSERT_TRUE(brix_e2e::send_all(fd, "go\n"));
    EXPECT_EQ(brix_e2e::read_all(fd), "released: go\n");
    close(fd);
    int status = -1;
    ASSERT_TRUE(daemon->wait_exit(status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(lines_of(daemon->out()).back(), "done...");
}

TEST_F(Daemon, HostileClientsCannotHoldTheWorkers) {
    start();
    // Ten clients of each kind: silent, sending a byte now and then, never reading a large reply.
    // Under Wine 8 the send timeout does not free a worker from a client that never reads (real
    // Windows is untested), so that kind is left out there.
    const bool with_deaf = !target().wine;
    std::vector<int> silent, dribbling, deaf;
    const auto connect_clients = [&] {
        for (int i = 0; i < 10; ++i) {
            for (auto* group : {&silent, &dribbling}) group->push_back(connect_to_daemon());
            if (!with_deaf) continue;
            deaf.push_back(connect_to_daemon());
            ASSERT_TRUE(brix_e2e::send_all(deaf.back(), "cgilet=flood\n"));
        }
    };
    // Keeps the dribbling clients dribbling until `done`, for 20 s at most.
    const auto dribble_until = [&](const std::function<bool()>& done) {
        return brix_test::wait_until(
            [&] {
                for (int fd : dribbling) brix_e2e::send_all(fd, "a");
                return brix_test::wait_until(done, std::chrono::milliseconds(200));
            },
            std::chrono::seconds(20));
    };
    ASSERT_NO_FATAL_FAILURE(connect_clients());
    auto answer = std::async(std::launch::async, [&] { return request("name=patient\n"); });
    EXPECT_TRUE(dribble_until(
        [&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    EXPECT_EQ(answer.get(), "Hello, patient!\n");
    // A silent client's request was read as empty and served by "hello".
    for (int fd : silent) EXPECT_EQ(brix_e2e::read_all(fd), "Hello, world!\n");
    for (auto* group : {&silent, &dribbling, &deaf}) {
        for (int fd : *group) close(fd);
        group->clear();
    }
    // Nor can they hold up a stop.
    const int taken = count_of("process request...");
    ASSERT_NO_FATAL_FAILURE(connect_clients());
    ASSERT_TRUE(daemon->wait_for_count("process request...", taken + 10));
    daemon->signal(SIGINT);
    EXPECT_TRUE(dribble_until([&] { return !daemon->running(); })) << "the stop hangs";
    int status = -1;
    ASSERT_TRUE(daemon->wait_exit(status));
    EXPECT_EQ(status, 0);
    for (auto* group : {&silent, &dribbling, &deaf}) {
        for (int fd : *group) close(fd);
    }
}

TEST_F(Daemon, AStopUnderLoadServesEveryAcceptedConnection) {
    start();
    std::atomic<int> answered{0};
    std::atomic<bool> stopped{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < 40; ++i) {
        clients.emplace_back([&] {
            // Until the daemon refuses: connections it never accepted may be reset.
            while (!stopped) {
                const std::string response = request("name=load\n");
                if (response == "<connect failed>") break;
                if (response == "Hello, load!\n") ++answered;
            }
        });
    }
    EXPECT_TRUE(daemon->wait_for_count("process request...", 300));
    daemon->signal(SIGINT);
    int status = -1;
    EXPECT_TRUE(daemon->wait_exit(status));
    stopped = true;
    for (std::thread& client : clients) client.join();
    EXPECT_EQ(status, 0);
    // Every connection the daemon accepted was served and answered.
    EXPECT_EQ(count_of("fd: "), count_of("process request..."));
    EXPECT_EQ(count_of("fd: "), answered.load());
}

TEST_F(Daemon, ReportsAPortInUseAndExitsWithFailure) {
    const int blocker = socket(AF_INET, SOCK_STREAM, 0);
    // Earlier tests' connections may still be in TIME_WAIT on the port.
    const int on = 1;
    setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(target().port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(blocker, 1), 0);
    std::ofstream(dir.path() + "/cgi.csv") << test_catalog();
    std::vector<std::string> command;
    if (target().wine) command.push_back(target().wine_run);
    command.push_back(target().daemon);
    DaemonProcess failing(command, dir.path());
    int status = -1;
    ASSERT_TRUE(failing.wait_exit(status));
    close(blocker);
    EXPECT_NE(status, 0);
    EXPECT_NE(failing.err().find("127.0.0.1"), std::string::npos) << failing.err();
    EXPECT_NE(failing.err().find(std::to_string(target().port)), std::string::npos)
        << failing.err();
    EXPECT_FALSE(std::ifstream(dir.path() + "/brix.pid").good()) << "no pid file is written";
    EXPECT_EQ(failing.out().find("run next..."), std::string::npos);
}

TEST_F(Daemon, WritesItsOwnProcessIdAndSkipsUnusableRows) {
    start();
    std::ifstream pid_file(dir.path() + "/brix.pid");
    int pid = 0;
    pid_file >> pid;
    if (target().wine) {
        // A Windows process id is Wine's own, not the Unix process id of the program.
        EXPECT_GT(pid, 0);
    } else {
        EXPECT_EQ(pid, daemon->pid());
    }
    EXPECT_TRUE(daemon->wait_for_text("skipped: cgilet \"broken\""));
    EXPECT_TRUE(daemon->wait_for_text("threw: the throwing factory always throws"));
    EXPECT_EQ(request("cgilet=broken\n"), "");
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, SelectsEachCgiletsCatalogAndReconnectsWhenItCannot) {
    start();
    EXPECT_EQ(request("cgilet=dbname\n"), "database=test\n");
    EXPECT_TRUE(daemon->wait_for_text("process request #1"));
    EXPECT_EQ(request("cgilet=dbnone\n"), "database=none\n");
    // A catalog that cannot be selected sends the request down the reconnect path, and the
    // cgilet still gets the connection, now on the database it was made with.
    EXPECT_EQ(request("cgilet=dbmissing\n"), "database=test\n");
    EXPECT_TRUE(daemon->wait_for_text("reconnect...\nprocess request #2"));
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, ConnectsOnceADatabaseThatWasDownAtStartIsBack) {
    DatabaseBackOnExit back_on_exit;
    db_server("stop");
    start();
    const std::vector<std::string> err = lines_of(daemon->err());
    ASSERT_FALSE(err.empty());
    EXPECT_EQ(err[0], "unable to connect to the database...");
    // The next line says what was tried and the client library's error.
    ASSERT_GE(err.size(), 2u);
    EXPECT_EQ(err[1].rfind("database \"test\" on host \"", 0), 0u) << err[1];
    EXPECT_NE(err[1].find("as user \"root\": error 200"), std::string::npos) << err[1];
    EXPECT_EQ(request("cgilet=dbname\n"), "database=none\n");
    EXPECT_TRUE(daemon->wait_for_text("process request #5"));
    db_server("start");
    // Requests that need the database connect as soon as it is there.
    EXPECT_TRUE(brix_test::wait_until(
        [&] { return request("cgilet=dbname\n") == "database=test\n"; }, std::chrono::seconds(20)));
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, AFrozenDatabaseFreesTheWorkers) {
    DatabaseBackOnExit back_on_exit;
    start();
    ASSERT_EQ(request("cgilet=dbname\n"), "database=test\n");
    db_server("freeze");
    struct Thaw {
        ~Thaw() { std::system((target().db_server + " thaw >/dev/null").c_str()); }
    } thaw;
    // Every worker is sent to the frozen server...
    std::vector<std::future<std::string>> stuck;
    for (int i = 0; i < 10; ++i) {
        stuck.push_back(std::async(std::launch::async, [&] { return request("cgilet=dbname\n"); }));
    }
    ASSERT_TRUE(daemon->wait_for_count("cgilet=\"dbname\"", 11));
    // ...and comes back from it, so requests without a database go on being served.
    for (int i = 0; i < 20; ++i) ASSERT_EQ(request("name=thawed\n"), "Hello, thawed!\n");
    for (auto& response : stuck) EXPECT_EQ(response.get().rfind("database=", 0), 0u);
    db_server("thaw");
    EXPECT_TRUE(brix_test::wait_until(
        [&] { return request("cgilet=dbname\n") == "database=test\n"; }, std::chrono::seconds(20)));
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, RecoversWhenTheDatabaseIsRestartedWhileServing) {
    DatabaseBackOnExit back_on_exit;
    start();
    for (int i = 0; i < 10; ++i) ASSERT_EQ(request("cgilet=dbname\n"), "database=test\n");
    db_server("restart");
    for (int i = 0; i < 20; ++i) EXPECT_EQ(request("cgilet=dbname\n"), "database=test\n");
    EXPECT_TRUE(daemon->wait_for_text("reconnect..."));
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, BrixCallSendsItsFieldsEncodedAndPrintsTheResponse) {
    ASSERT_NO_FATAL_FAILURE(start());
    // The client is the Linux brix-call, whichever daemon runs.
    const auto brix_call = [](const std::vector<std::string>& args) {
        brix_test::TempDir call_dir;
        std::vector<std::string> command{target().brix_call, "-p", std::to_string(target().port)};
        command.insert(command.end(), args.begin(), args.end());
        DaemonProcess client(command, call_dir.path());
        int status = -1;
        EXPECT_TRUE(client.wait_exit(status)) << "brix-call did not end";
        EXPECT_EQ(status, 0) << client.err();
        return client.out();
    };
    EXPECT_EQ(brix_call({"cgilet=echo", "a=x&y", "b=1 2", "c=d=e", "b=%41+"}),
              "a=x&y\nb=1 2\nb=%2541+\nc=d=e\ncgilet=echo\n");
    EXPECT_EQ(brix_call({"name=brix-call"}), "Hello, brix-call!\n");
    EXPECT_EQ(brix_call({"--raw", "cgilet=echo&a=%41+%42"}), "a=A B\ncgilet=echo\n");
    EXPECT_EQ(stop(), 0);
}
