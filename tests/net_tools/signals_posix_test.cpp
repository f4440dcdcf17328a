// POSIX only: calls interrupted by signals, and an accept that runs out of descriptors.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "net_tools/tcp_server.h"
#include "net_tools/tcp_stream.h"
#include "tests/support/wait_until.h"

namespace {

using net_tools::tcp_server;
using net_tools::tcp_stream;

std::atomic<int> signals_seen{0};

void count_signal(int) { ++signals_seen; }

// Signals `thread` until it has handled `count` signals or `done` is set.
void interrupt(std::thread& thread, int count, const std::atomic<bool>& done) {
    brix_test::wait_until([&] {
        if (!done) pthread_kill(thread.native_handle(), SIGUSR1);
        return done || signals_seen >= count;
    });
}

}  // namespace

TEST(Interrupted, ReceiveSendAndAcceptGoOnAfterSignalsOrWithoutDescriptors) {
    // SIGUSR1 handled without SA_RESTART, so blocking calls fail with EINTR; the handler stays,
    // as nothing else in this program raises the signal.
    struct sigaction action {};
    action.sa_handler = count_signal;
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
    tcp_server server("127.0.0.1", 0);
    tcp_stream stream("127.0.0.1", server.local_port());
    const int peer = server.accept();
    std::atomic<bool> done{false};
    std::thread reader([&] {
        EXPECT_EQ(stream.get(), 'k');
        done = true;
    });
    interrupt(reader, 3, done);
    EXPECT_FALSE(done) << "a signal ended the receive";
    EXPECT_EQ(send(peer, "k", 1, 0), 1);
    reader.join();

    std::string big(8 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 % 253);
    done = false;
    signals_seen = 0;
    std::thread sender([&] {
        stream << big;  // the peer does not read yet: the sender blocks with the buffers full
        EXPECT_TRUE(static_cast<void*>(stream) != nullptr);
        stream.close();
        done = true;
    });
    interrupt(sender, 5, done);
    std::string received;
    char chunk[65536];
    for (ssize_t count; (count = recv(peer, chunk, sizeof chunk, 0)) > 0;)
        received.append(chunk, static_cast<std::size_t>(count));
    sender.join();
    EXPECT_TRUE(received == big) << "received " << received.size() << " bytes";
    close(peer);

    tcp_stream client("127.0.0.1", server.local_port());
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = 256 < saved.rlim_cur ? 256 : saved.rlim_cur;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(STDERR_FILENO)) >= 0;) fillers.push_back(fd);
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
    close(accepted);
}
