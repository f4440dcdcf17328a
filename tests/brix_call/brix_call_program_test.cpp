// The brix-call program itself, run as a child process: how it fails, and the exit status that
// tells what a real daemon did with its request (its encoding of fields is tested with the
// daemon's decoding).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "net_tools/tcp_server.h"
#include "tests/e2e/daemon_process.h"
#include "tests/support/temp_dir.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome run_brix_call(const std::vector<std::string>& args) {
    brix_test::TempDir dir;
    std::vector<std::string> command{BRIX_CALL};
    command.insert(command.end(), args.begin(), args.end());
    brix_e2e::DaemonProcess process(command, dir.path());
    Outcome outcome;
    EXPECT_TRUE(process.wait_exit(outcome.status)) << "brix-call did not end";
    outcome.out = process.out();
    outcome.err = process.err();
    return outcome;
}

TEST(BrixCallProgram, RejectsBadOptionsWithUsage) {
    const std::vector<std::vector<std::string>> bad{
        {"-x"},   {"-p"},    {"-p", "0"}, {"-p", "65536"}, {"-p", "12ab"},
        {"name"}, {"--raw"}, {"-t"},      {"-t", "-1"},    {"-t", "1s"}};
    for (const auto& args : bad) {
        const Outcome outcome = run_brix_call(args);
        EXPECT_EQ(outcome.status, 2) << args[0];
        EXPECT_NE(outcome.err.find("usage: brix-call"), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.out, "");
    }
}

TEST(BrixCallProgram, ExitStatusTellsWhatTheDaemonDidWithTheRequest) {
    // A daemon whose catalog has no "hello": a request without a cgilet field finds nothing.
    // The test cgilet "wait" waits for a second line, which brix-call never sends.
    brix_test::TempDir dir;
    std::ofstream(dir.path() + "/cgi.csv")
        << "\"echo\",\"" ECHO_CGILET "\",\"make_echo\",\"none\"\n"
        << "\"wait\",\"" TEST_CGILETS "\",\"make_wait\",\"none\"\n";
    brix_e2e::DaemonProcess daemon({DAEMON}, dir.path());
    ASSERT_TRUE(daemon.wait_for("run next...")) << daemon.err();
    // A loopback port on which nothing listens (it did a moment ago).
    const std::string closed = std::to_string(net_tools::tcp_server("127.0.0.1", 0).local_port());

    const std::string port = std::to_string(DAEMON_PORT);
    const std::string peer = "no response from 127.0.0.1:" + port;
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out;
        std::string err;
    };
    const std::vector<Case> cases{
        {{"cgilet=echo", "a=1"}, 0, "a=1\ncgilet=echo\n", ""},
        {{"cgilet=nosuch"}, 3, "", peer + " (is nosuch in the catalog?)\n"},
        {{"--raw", "a=1&cgilet=no%73uch+2&cgilet=echo"},
         3,
         "",
         peer + " (is nosuch 2 in the catalog?)\n"},
        {{"name=x"}, 3, "", peer + " (is hello in the catalog?)\n"},
        {{"-t", "1", "cgilet=wait"}, 4, "", peer + " within 1 s\n"},
        {{"-p", closed, "name=x"}, 1, "", "cannot connect to 127.0.0.1:" + closed},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"-p", port};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Outcome outcome = run_brix_call(args);
        EXPECT_EQ(outcome.status, c.status) << c.args.back();
        EXPECT_EQ(outcome.out, c.out) << c.args.back();
        // Not reached: the system's reason follows the peer.
        const std::string err = c.err.empty() ? "" : "brix-call: " + c.err;
        EXPECT_EQ(c.status == 1 ? outcome.err.substr(0, err.size()) : outcome.err, err)
            << c.args.back();
    }
}

}  // namespace
