// POSIX only: calls interrupted by signals, and an accept that runs out of descriptors.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "net_tools/tcp_stream.h"
#include "tests/net_tools/loopback.h"
#include "tests/support/wait_until.h"

using net_tools::tcp_stream;
using net_tools_test::LoopbackPair;
namespace ops = net_tools::socket_ops;

namespace {

std::atomic<int> signals_seen{0};

void count_signal(int) { signals_seen.fetch_add(1); }

// Installs a SIGUSR1 handler without SA_RESTART, so blocking calls fail with EINTR, and
// restores the previous one at the end of the test.
class InterruptingSignal {
  public:
    InterruptingSignal() {
        struct sigaction action {};
        action.sa_handler = count_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(SIGUSR1, &action, &previous_);
        signals_seen = 0;
    }
    ~InterruptingSignal() { sigaction(SIGUSR1, &previous_, nullptr); }

    // Signals `thread` repeatedly until it has handled `count` signals or set `done`.
    static void interrupt(pthread_t thread, int count, const std::atomic<bool>& done) {
        brix_test::wait_until([&] {
            if (done.load()) return true;
            pthread_kill(thread, SIGUSR1);
            return signals_seen.load() >= count;
        });
    }

  private:
    struct sigaction previous_ {};
};

bool tests_true(const tcp_stream& stream) { return static_cast<void*>(stream) != nullptr; }

}  // namespace

using Interrupted = LoopbackPair;

TEST_F(Interrupted, ReceiveGoesOnAfterASignal) {
    InterruptingSignal signal;
    tcp_stream stream(accepted);
    std::atomic<bool> done{false};
    char byte = 0;
    std::thread reader([&] {
        byte = stream.get();
        done = true;
    });
    InterruptingSignal::interrupt(reader.native_handle(), 3, done);
    EXPECT_FALSE(done.load()) << "a signal ended the receive";
    peer_sends("k");
    reader.join();
    EXPECT_EQ(byte, 'k');
    EXPECT_TRUE(tests_true(stream));
}

TEST_F(Interrupted, ASendCutShortBySignalsIsCompleted) {
    InterruptingSignal signal;
    tcp_stream stream(accepted);
    std::string big(8 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 % 253);
    std::atomic<bool> done{false};
    bool sent_all = false;
    std::thread sender([&] {
        stream << big;
        sent_all = tests_true(stream);
        stream.close();
        done = true;
    });
    // The peer does not read yet, so the sender soon blocks with the buffers full.
    InterruptingSignal::interrupt(sender.native_handle(), 5, done);
    std::string received;
    char chunk[65536];
    for (ssize_t count;
         received.size() < big.size() && (count = recv(peer, chunk, sizeof chunk, 0)) != 0;) {
        if (count > 0)
            received.append(chunk, static_cast<std::size_t>(count));
        else if (errno != EINTR)
            break;
    }
    sender.join();
    EXPECT_TRUE(received == big) << "received " << received.size() << " bytes";
    EXPECT_TRUE(sent_all);
}

TEST(AcceptWithoutDescriptors, IsTransientAndSucceedsOnceDescriptorsAreFree) {
    net_tools::tcp_server server("127.0.0.1", 0);
    ASSERT_TRUE(server.listening()) << server.error_text();
    const int client = net_tools_test::connect_raw(server.local_port());
    ASSERT_GE(client, 0);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = 256 < saved.rlim_cur ? 256 : saved.rlim_cur;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(client)) >= 0;) fillers.push_back(fd);

    const int refused = server.accept();
    const int error = server.accept_error();
    const bool transient = server.accept_error_is_transient();

    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_LT(refused, 0);
    EXPECT_EQ(error, EMFILE);
    EXPECT_TRUE(transient);
    const int accepted = server.accept();
    EXPECT_GE(accepted, 0);
    if (accepted >= 0) ops::close(accepted);
    ops::close(client);
}
