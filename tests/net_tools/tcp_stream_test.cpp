// tcp_stream and tcp_server on real loopback connections, and on POSIX, under signals.
#include "net_tools/tcp_stream.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#endif

#include <atomic>
#include <thread>
#include <vector>

#include "net_tools/socket_ops.h"
#include "net_tools/tcp_server.h"
#include "tests/support/test_support.h"

namespace {

using net_tools::tcp_server;
using net_tools::tcp_stream;
namespace ops = net_tools::socket_ops;
using namespace std::chrono_literals;
using std::chrono::steady_clock;

// A client connected to a server on a free port, and its peer (a descriptor, in `served`).
struct Connection {
    tcp_server server{"127.0.0.1", 0};
    tcp_stream stream{"127.0.0.1", server.local_port()};
    int peer = server.accept();
    tcp_stream served{peer};
};

bool inherited_by_children(int fd) {
#ifdef _WIN32
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<SOCKET>(fd)), &flags) &&
           (flags & HANDLE_FLAG_INHERIT) != 0;
#else
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0;
#endif
}

// Reads joined by '|', then whether the stream tests true. A digit: a line of that many bytes at
// most ('9': 1024), 'd' within 1 s, 'p' past its deadline; 'n' number, 'w' word, 'g' a byte.
std::string run(tcp_stream& stream, const std::string& reads) {
    std::string out;
    for (const char read : reads) {
        int number = -1;
        std::string word = "old";
        if (read == 'n') word = std::to_string((stream >> number, number));
        if (read == 'w') stream >> word;
        if (read == 'g') word = std::string(1, stream.get());
        if (read == 'd') word = stream.read_line(1024, 1s);
        if (read == 'p') word = stream.read_line_until(1024, steady_clock::now() - 1s);
        if (read <= '9') word = stream.read_line(read == '9' ? 1024 : read - '0');
        out += word + "|";
    }
    return out + (stream ? "true" : "false");
}

}  // namespace

// The peer sends, then closes: each case reads what it sent, up to and beyond its end.
TEST(StreamTest, ReadsLinesNumbersAndWords) {
    const std::string cases[][3] = {
        {"abc\r\nabcdef\n", "949", "abc\r|abcd|ef|true"},  // the rest of a line stays in the socket
        {"abcd\nz\nxy\n", "44409", "abcd||z|x|y|true"},    // a limit of 0 still reads one byte
        {"ab", "99g", std::string("ab||\0|false", 11)},
        // No sign; too many digits give INT_MAX.
        {"  42x7 -5 99999999999999999999999 8 12", "ngngngn", "42|7|0|5|2147483647|8|12|false"},
        // No leading white space skipped; any other byte may be part of a word.
        {" word first\tsecond \xe9\xa0\xff \xc3\xa9\n", "wwwwww",
         "|word|first|second|\xe9\xa0\xff|\xc3\xa9|true"},
    };
    for (const auto& c : cases) {
        Connection link;
        link.served << c[0];
        link.served.close();
        EXPECT_EQ(run(link.stream, c[1]), c[2]) << c[0];
    }
}

TEST(StreamTest, ServersReleaseTheirSocketOnceRetryAcceptsAndStreamsFailWithoutAPeer) {
    auto* first = new tcp_server("127.0.0.1", 0);
    first->close();
    EXPECT_LT(first->accept(), 0);  // the accepting thread releases a closed server's socket
    Connection link;  // its server most likely on the descriptor the first one released...
    delete first;     // ...which must not be released again
    EXPECT_TRUE(bool(tcp_stream("localhost", link.server.local_port())));

    // A bound socket that does not listen holds the port, so nobody else can take it.
    const int holder = ops::create_tcp();
    ASSERT_EQ(ops::bind(holder, sockaddr_in{AF_INET, 0, {}, {}}), 0);
    EXPECT_FALSE(bool(tcp_stream("127.0.0.1", ops::local_port(holder))));
    EXPECT_FALSE(inherited_by_children(link.peer) || inherited_by_children(holder));
    ops::close(holder);
    EXPECT_FALSE(bool(tcp_stream("no-such-host.invalid", 1)));

    link.served.close();
    // The first send after the peer left may succeed; a later one fails, raising no signal.
    EXPECT_TRUE(brix_test::wait_until([&] { return !bool(link.stream << "data"); }));

    // Failures of one connection are retried at once, shortages after a pause.
#ifdef _WIN32
    const std::vector<int> kinds[] = {{WSAECONNRESET}, {WSAEMFILE}, {WSAENOTSOCK}};
#else
    const std::vector<int> kinds[] = {{ECONNABORTED, EPERM, EHOSTDOWN}, {EMFILE, ENOMEM}, {EBADF}};
#endif
    for (int kind = 0; kind < 3; ++kind)  // retry_now, pause, fatal
        for (const int code : kinds[kind])
            EXPECT_EQ(static_cast<int>(ops::accept_failure_kind(code)), kind) << code;
}

// A set flag costs the next line a byte; a deadline bounds the whole line, then is undone.
TEST(StreamTest, SendsAndTheErrorFlagAndLineDeadlines) {
    Connection link;
    ASSERT_EQ(ops::set_receive_timeout(link.peer, 7000), 0);
    EXPECT_EQ(run(link.served, "p"), "|false");  // nothing has arrived: no waiting for it
    link.stream << "xyz\nab\n" << -12 << std::string("\0c\n", 3) << "" << 7 << "f";
    EXPECT_EQ(run(link.served, "9"), "|false");
    link.served.clearerr();
    EXPECT_EQ(run(link.served, "9dp"), std::string("yz|ab|-12\0c|true", 16));
    EXPECT_EQ(run(link.served, "p"), "7f|false");

    // A peer dribbling a byte now and then gets no more than the deadline: 'c' comes too late.
    link.served.clearerr();
    const auto start = steady_clock::now();
    std::thread dribbler([&] {
        for (const int at : {0, 600, 1400}) {
            brix_test::wait_until([&] { return steady_clock::now() >= start + at * 1ms; });
            link.stream << std::string(1, static_cast<char>('a' + at / 600));
        }
    });
    EXPECT_EQ(run(link.served, "d"), "ab|false");
    dribbler.join();
    EXPECT_EQ(ops::receive_timeout(link.peer), 7000u);
    // 'c' waits unread, yet a closed stream reads nothing and tests true whatever its flag.
    link.served.close();
    EXPECT_EQ(run(link.served, "9"), "|true");
}

#ifndef _WIN32
TEST(Interrupted, ReceiveSendAndAcceptGoOnAfterSignalsOrWithoutDescriptors) {
    // SIGUSR1 without SA_RESTART: blocking calls fail with EINTR.
    static std::atomic<int> signals_seen{0};
    struct sigaction action {};
    action.sa_handler = [](int) { ++signals_seen; };
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
    // Runs `call` while another thread signals this one `count` times, then ends it by `release`.
    const auto interrupted = [](int count, const auto& call, const auto& release) {
        signals_seen = 0;
        std::thread signaller([&, self = pthread_self()] {
            brix_test::wait_until(
                [&] { return pthread_kill(self, SIGUSR1) != 0 || signals_seen >= count; });
            release();
        });
        call();
        signaller.join();
    };
    Connection link;
    interrupted(
        3, [&] { EXPECT_EQ(link.stream.get(), 'k'); }, [&] { link.served << "k"; });

    std::string big(8 * 1024 * 1024, '\0'), received;
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 13 % 253);
    const auto send = [&] {  // the peer does not read yet: the sender blocks with the buffers full
        EXPECT_TRUE(bool(link.stream << big));
        link.stream.close();
    };
    interrupted(5, send, [&] {
        char chunk[65536];
        for (long count; (count = ops::receive(link.peer, chunk, sizeof chunk)) > 0;)
            received.append(chunk, static_cast<std::size_t>(count));
    });
    EXPECT_TRUE(received == big) << "received " << received.size() << " bytes";

    tcp_stream client("127.0.0.1", link.server.local_port());
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit none{0, saved.rlim_max};  // no descriptor left
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    const bool refused_for_now = link.server.accept() < 0 && link.server.accept_error() == EMFILE &&
                                 link.server.accept_error_is_transient();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(refused_for_now) << link.server.accept_error();
    EXPECT_TRUE(bool(tcp_stream(link.server.accept()) << "x")) << "the connection is taken later";
}
#endif
