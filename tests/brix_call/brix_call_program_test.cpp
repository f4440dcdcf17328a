// The brix-call program itself, run as a child process: how it fails. Serving a real request is
// part of the end-to-end suite (tests/e2e), which runs a daemon.
#include <gtest/gtest.h>

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

// A loopback port on which nothing listens (it did a moment ago).
int closed_port() {
    net_tools::tcp_server server("127.0.0.1", 0);
    return server.local_port();
}

}  // namespace

TEST(BrixCallProgram, NamesAddressAndPortWhenNoServerListens) {
    const int port = closed_port();
    ASSERT_GT(port, 0);
    const Outcome outcome = run_brix_call({"-p", std::to_string(port), "name=x"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_NE(outcome.err.find("127.0.0.1:" + std::to_string(port)), std::string::npos)
        << outcome.err;
    EXPECT_EQ(outcome.out, "");
}

TEST(BrixCallProgram, RejectsBadOptionsWithUsage) {
    const std::vector<std::vector<std::string>> bad{
        {"-x"}, {"-p"}, {"-p", "0"}, {"-p", "65536"}, {"-p", "12ab"}, {"name"}, {"--raw"}};
    for (const auto& args : bad) {
        const Outcome outcome = run_brix_call(args);
        EXPECT_EQ(outcome.status, 2) << args[0];
        EXPECT_NE(outcome.err.find("usage: brix-call"), std::string::npos) << outcome.err;
        EXPECT_EQ(outcome.out, "");
    }
}
