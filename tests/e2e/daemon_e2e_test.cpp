// End-to-end tests: the real daemon program, started as a process with a test catalog and the test
// cgilets, driven over real sockets and stopped with real signals. They keep to what only a whole
// daemon shows; the rules of decoding, dispatch and the catalog have unit tests of their own. The
// same tests run the Windows daemon under Wine when BRIX_E2E_WINE is set (see CMakeLists.txt).
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net_tools/socket_ops.h"
#include "net_tools/tcp_server.h"
#include "tests/e2e/daemon_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"

using brix_e2e::DaemonProcess;
namespace ops = net_tools::socket_ops;

namespace {

// Where the daemon under test and its libraries are: set by CMake for the native build, by the
// environment for the Windows build (see CMakeLists.txt).
std::string setting(const char* name, const std::string& native) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : native;
}
const bool kWine = !setting("BRIX_E2E_WINE", "").empty();
const int kPort = std::stoi(setting("BRIX_E2E_PORT", std::to_string(E2E_PORT)));

// Where the descriptors above 2 of process `pid` lead, as " socket:[N] /a/path..."; with
// `inheritable` only those without close-on-exec.
std::string descriptors(pid_t pid, bool inheritable = false) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::string targets;
    DIR* fds = opendir((proc + "/fd").c_str());
    if (fds == nullptr) return "<gone>";
    while (const dirent* entry = readdir(fds)) {
        std::ifstream info(proc + "/fdinfo/" + entry->d_name);
        std::string field;
        while (info >> field && field != "flags:") {
        }
        unsigned long flags = 0;
        info >> std::oct >> flags;
        char target[256] = {};
        if (std::atoi(entry->d_name) > 2 && (!inheritable || (flags & O_CLOEXEC) == 0) &&
            readlink((proc + "/fd/" + entry->d_name).c_str(), target, sizeof target - 1) > 0)
            targets += std::string(" ") + target;
    }
    closedir(fds);
    return targets;
}

// A connected client socket to the daemon, or -1.
int connect_to_daemon() {
    sockaddr_in address{
        AF_INET, htons(static_cast<unsigned short>(kPort)), {htonl(INADDR_LOOPBACK)}, {}};
    const int fd = ops::create_tcp();
    if (fd >= 0 && ops::connect(fd, address) == 0) return fd;
    if (fd >= 0) ops::close(fd);
    return -1;
}

bool send_all(int fd, const std::string& data) {
    return ops::send(fd, data.data(), data.size()) == data.size();
}

// What comes on `fd` until the peer closes, followed by "<error text>" when the connection ends
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

void db_server(const std::string& command) {
    ASSERT_EQ(std::system((E2E_DB_SERVER " " + command + " >/dev/null").c_str()), 0) << command;
}

class Daemon : public ::testing::Test {
  protected:
    // Starts the daemon with the test catalog in its own folder and, with `until_running`, waits
    // until its ten workers run.
    void start(bool ignore_sigint = false, bool until_running = true) {
        std::ofstream catalog(dir.path() + "/cgi.csv", std::ios::binary);
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
        std::vector<std::string> command;
        if (kWine) command.push_back(E2E_WINE_RUN);
        command.push_back(setting("BRIX_E2E_DAEMON", E2E_DAEMON));
        daemon = std::make_unique<DaemonProcess>(command, dir.path(), ignore_sigint);
        EXPECT_TRUE(!until_running || daemon->wait_for(" start...\n", 10));
    }

    // Stops the daemon with `sig` and returns its exit status.
    int stop(int sig = SIGINT) {
        daemon->signal(sig);
        int status = -1;
        EXPECT_TRUE(daemon->wait_exit(status)) << "the daemon did not stop\n" << daemon->out();
        return status;
    }

    brix_test::TempDir dir;
    std::unique_ptr<DaemonProcess> daemon;
};

}  // namespace

TEST_F(Daemon, ReadsServesAndTracesEachRequestWholeAndInOrder) {
    start();
    int pid = 0;
    std::ifstream(dir.path() + "/brix.pid") >> pid;
    EXPECT_EQ(pid, kWine ? pid : daemon->pid());  // under Wine, Wine's own process id
    EXPECT_GT(pid, 0);
    ASSERT_EQ(request("cgilet=hello\n"), "Hello, world!\n");
    ASSERT_TRUE(daemon->wait_for("process request #4\n"));
    EXPECT_TRUE(
        std::regex_search(daemon->out(), std::regex("\nfd: ([0-9]+)\nid: 1[0-9]{2} got: \\1\n"
                                                    "process request...\ncgilet=\"hello\"\n"
                                                    "process request #4\n")))
        << daemon->out();

    // An unknown cgilet gets nothing. Control bytes of its name show as %XX: a request cannot
    // write lines of its own.
    EXPECT_EQ(request("cgilet=%0Ashutdown next...%0D%0Afd: 7%7F\n"), "");
    EXPECT_TRUE(daemon->wait_for("\ncgilet=\"%0Ashutdown next...%0D%0Afd: 7%7F\"\n"));
    // A throwing cgilet is traced and its worker goes on serving.
    EXPECT_EQ(request("cgilet=throw\n"), "");
    EXPECT_TRUE(daemon->wait_for("CGI error thread #"));
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
    // accepted are refused or reset.
    std::atomic<int> answered{0};
    std::atomic<bool> stopped{false};
    std::vector<std::thread> clients;
    for (int c = 0; c < 40; ++c) {
        clients.emplace_back([&] {
            for (std::string response; !stopped && response != "<connect failed>";) {
                response = request("name=load\n");
                answered += response == "Hello, load!\n";
            }
        });
    }
    EXPECT_TRUE(daemon->wait_for("process request...", 300));
    EXPECT_EQ(stop(kWine ? SIGINT : SIGTERM), 0);  // Wine ends a program at once on SIGTERM
    stopped = true;
    for (std::thread& client : clients) client.join();
    const std::string out = daemon->out();
    const std::regex whole_id_line("\nid: 1[0-9]{2} got: [0-9]+(?=\n)");
    EXPECT_EQ(daemon->count("\nfd: "), answered + 6);
    EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), whole_id_line), {}),
              answered + 6);
}

TEST_F(Daemon, ChildrenOfACgiletInheritNoDescriptorAndNoBlockedSignal) {
    if (kWine) GTEST_SKIP() << "reads the child's state from /proc";
    start();
    // Once the listening socket and the ten workers' database connections are open, each marked
    // close-on-exec (a worker marks its connection once connected).
    EXPECT_TRUE(brix_test::wait_until([this] {
        static const std::regex socket("socket:");
        const std::string held = descriptors(daemon->pid());
        return std::distance(std::sregex_iterator(held.begin(), held.end(), socket), {}) >= 11 &&
               descriptors(daemon->pid(), true).empty();
    })) << descriptors(daemon->pid(), true);
    const std::string reply = request("cgilet=spawn\n");
    const pid_t child = reply.rfind("child=", 0) == 0 ? std::atoi(reply.c_str() + 6) : 0;
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
    std::ostringstream status;
    status << std::ifstream(proc + "/status").rdbuf();
    kill(child, SIGKILL);
    EXPECT_NE(status.str().find("\nSigBlk:\t0000000000000000\n"), std::string::npos)
        << status.str();
    EXPECT_EQ(stop(), 0);
}

TEST_F(Daemon, AStopClosesTheListenerFirstThenServesEveryAcceptedConnectionAndTracesEachStep) {
    // Started with SIGINT ignored, as from a non-interactive shell's background, which Wine
    // does not pass on.
    start(/*ignore_sigint=*/!kWine);
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
    daemon->signal(SIGINT);
    ASSERT_TRUE(daemon->wait_for("done shutdown...\n"));
    // Nothing more is accepted, while the requests in progress and the queued one are pending.
    EXPECT_EQ(request("name=late\n"), "<connect failed>") << "the listening socket is still open";
    EXPECT_TRUE(daemon->running());
    for (int fd : busy) {
        ASSERT_TRUE(send_all(fd, "go\n"));
        EXPECT_EQ(read_all(fd), "released: go\n");
        close(fd);
    }
    EXPECT_EQ(read_all(queued), "Hello, queued!\n");
    close(queued);
    int status = -1;
    ASSERT_TRUE(daemon->wait_exit(status));
    EXPECT_EQ(status, 0);
    const std::string out = daemon->out();
    EXPECT_EQ(out.rfind("run next...\n", 0), 0u) << out;
    EXPECT_EQ(out.substr(out.rfind('\n', out.size() - 2)), "\ndone...\n");
    EXPECT_EQ(daemon->count("\nshutdown next...\n"), 1);
    EXPECT_EQ(daemon->count("\ndone shutdown...\n"), 1);
    // A worker idle at the end leaves through "CGI error thread #".
    for (int id = 100; id < 110; ++id) {
        const std::string n = std::to_string(id);
        EXPECT_LE(daemon->count("\nCGI error thread #" + n + "...\n"), 1);
        EXPECT_EQ(daemon->count("\ndone thread #" + n + "...\n"), 1);
    }
}

TEST_F(Daemon, HostileClientsCannotHoldTheWorkers) {
    start();
    // Ten clients of each kind, each kind enough to hold every worker: silent, sending a byte now
    // and then, never reading a large reply. Under Wine 8 the send timeout does not free a worker
    // from a client that never reads (real Windows is untested), so that kind is left out there.
    std::vector<int> silent, dribbling, deaf;
    for (int i = 0; i < 10; ++i) {
        silent.push_back(connect_to_daemon());
        dribbling.push_back(connect_to_daemon());
        if (kWine) continue;
        deaf.push_back(connect_to_daemon());
        send_all(deaf.back(), "cgilet=flood\n");
    }
    auto answer = std::async(std::launch::async, [&] { return request("name=patient\n"); });
    // The dribbling clients send a byte every 200 ms until the answer comes, for 20 s at most.
    EXPECT_TRUE(brix_test::wait_until(
        [&] {
            for (int fd : dribbling) send_all(fd, "a");
            return answer.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
        },
        std::chrono::seconds(20)));
    EXPECT_EQ(answer.get(), "Hello, patient!\n");
    // A silent client's request was read as empty and served by "hello".
    for (int fd : silent) EXPECT_EQ(read_all(fd), "Hello, world!\n");
    EXPECT_EQ(stop(), 0);  // with the other clients still connected
    for (const auto* group : {&silent, &dribbling, &deaf}) {
        for (int fd : *group) close(fd);
    }
}

TEST_F(Daemon, ReportsAPortInUseAndExitsWithFailure) {
    const net_tools::tcp_server blocker("127.0.0.1", kPort);
    ASSERT_TRUE(blocker.listening()) << blocker.error_text();
    start(false, /*until_running=*/false);
    int status = -1;
    ASSERT_TRUE(daemon->wait_exit(status));
    EXPECT_NE(status, 0);
    EXPECT_NE(daemon->err().find("127.0.0.1 port " + std::to_string(kPort)), std::string::npos)
        << daemon->err();
    EXPECT_FALSE(std::ifstream(dir.path() + "/brix.pid").good()) << "no pid file is written";
    EXPECT_EQ(daemon->count("run next..."), 0);
}

TEST_F(Daemon, OutlivesADatabaseThatIsDownOrFrozen) {
    struct BackOnExit {
        ~BackOnExit() {
            std::system(E2E_DB_SERVER " thaw >/dev/null; " E2E_DB_SERVER " start >/dev/null");
        }
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
        return brix_test::wait_until(
            [&] { return request("cgilet=dbname\n") == "database=test\n"; },
            std::chrono::seconds(20));
    };
    EXPECT_TRUE(database_answers());

    // Then frozen: every worker sent to it comes back (the connections made after a failed
    // start keep their time limits), so requests without a database go on.
    db_server("freeze");
    const int asked = daemon->count("cgilet=\"dbname\"");
    std::vector<std::future<std::string>> stuck;
    for (int i = 0; i < 10; ++i) {
        stuck.push_back(std::async(std::launch::async, [&] { return request("cgilet=dbname\n"); }));
    }
    ASSERT_TRUE(daemon->wait_for("cgilet=\"dbname\"", asked + 10));
    for (int i = 0; i < 20; ++i) ASSERT_EQ(request("name=thawed\n"), "Hello, thawed!\n");
    for (auto& response : stuck) EXPECT_EQ(response.get().rfind("database=", 0), 0u);
    db_server("thaw");
    EXPECT_TRUE(database_answers());
    EXPECT_EQ(stop(), 0);
}
