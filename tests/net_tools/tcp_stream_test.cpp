// tcp_stream and tcp_server on real loopback connections.
#include "net_tools/tcp_stream.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#endif

#include <climits>
#include <functional>
#include <string>
#include <thread>

#include "net_tools/socket_ops.h"
#include "net_tools/tcp_server.h"
#include "tests/support/wait_until.h"

namespace {

using net_tools::tcp_server;
using net_tools::tcp_stream;
namespace ops = net_tools::socket_ops;
using Reads = std::function<std::string(tcp_stream&)>;

// A stream connected to a server on a free loopback port, and the server's end of that
// connection, `peer`, which the test owns.
struct Connection {
    tcp_server server{"127.0.0.1", 0};
    tcp_stream stream{"127.0.0.1", server.local_port()};
    int peer = server.accept();
};

// Whether a child process the program starts would hold the socket too.
bool inherited_by_children(int fd) {
#ifdef _WIN32
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<SOCKET>(fd)), &flags) &&
           (flags & HANDLE_FLAG_INHERIT) != 0;
#else
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0;
#endif
}

Reads lines(std::vector<unsigned> limits) {
    return [limits](tcp_stream& stream) {
        std::string out;
        for (unsigned limit : limits) out += stream.read_line(limit) + "|";
        return out;
    };
}

// The number, then the byte after the one that ended it (while the stream tests true).
std::string number(tcp_stream& stream) {
    int value = -1;
    stream >> value;
    return std::to_string(value) + (bool(stream) ? "|" + std::string(1, stream.get()) : "");
}

std::string two_words(tcp_stream& stream) {
    std::string first = "old", second;
    stream >> first >> second;
    return first + "|" + second;
}

}  // namespace

// The peer sends, then closes: each case reads what it sent, up to and beyond its end.
TEST(StreamTest, ReadsLinesNumbersAndWords) {
    struct Case {
        std::string sent;
        Reads reads;
        std::string expected;
        bool stays_true;
    };
    const Case cases[] = {
        {"abc\r\n", lines({1024}), "abc\r|", true},
        {"abcdef\n", lines({4, 1024}), "abcd|ef|", true},  // the rest stays in the socket
        {"abcd\nz\n", lines({4, 4, 4}), "abcd||z|", true},
        {"xy\n", lines({0, 1024}), "x|y|", true},  // a limit of 0 still reads one byte
        {"ab", lines({1024}), "ab|", false},
        {"", lines({1024}), "|", false},
        {"  42x7", number, "42|7", true},
        {"-5", number, "0|5", true},  // no sign
        {"99999999999999999999999 8", number, std::to_string(INT_MAX) + "|8", true},
        {"12", number, "12", false},
        {" word", two_words, "|word", true},  // no leading white space skipped
        {"first\tsecond", two_words, "first|second", true},
        {"\xe9\xa0\xff \xc3\xa9\n", two_words, "\xe9\xa0\xff|\xc3\xa9", true},
    };
    for (const Case& c : cases) {
        Connection link;
        ASSERT_EQ(ops::send(link.peer, c.sent.data(), c.sent.size()), c.sent.size());
        ops::close(link.peer);
        EXPECT_EQ(c.reads(link.stream), c.expected) << c.sent;
        EXPECT_EQ(bool(link.stream), c.stays_true) << c.sent;
    }
}

TEST(StreamTest, TheErrorFlagDropsAByteUntilClearedAndACloseHidesIt) {
    Connection link;
    tcp_stream stream(link.peer);
    ASSERT_EQ(ops::set_receive_timeout(link.peer, 20), 0);
    EXPECT_EQ(stream.get(), 0);  // the timeout fails a blocked read like a closed peer
    EXPECT_FALSE(bool(stream));
    ASSERT_EQ(ops::set_receive_timeout(link.peer, 0), 0);
    link.stream << "xyz\n";
    EXPECT_EQ(stream.read_line(1024), "");
    stream.clearerr();
    EXPECT_TRUE(bool(stream));
    EXPECT_EQ(stream.read_line(1024), "yz");

    ASSERT_EQ(ops::set_receive_timeout(link.peer, 20), 0);
    stream.get();  // fails again: the flag is set...
    stream.close();
    EXPECT_TRUE(bool(stream));  // ...yet a closed stream tests true and reads nothing
    link.stream << "data\n";
    EXPECT_EQ(stream.read_line(1024), "");
}

TEST(StreamTest, SendsEverythingConnectsByNameAndFailsWithoutAServerOrPeer) {
    std::string big(64 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
    const std::string expected = std::string("-12ab\0c7", 8) + big;
    Connection link;
    std::string received;  // read on another thread, so the send never waits on it
    std::thread reader([&] {
        for (char byte; received.size() < expected.size() && ops::recv_byte(link.peer, &byte) == 1;)
            received += byte;
    });
    link.stream << -12 << "a" << std::string("b\0c", 3) << 7 << "" << big;
    reader.join();
    EXPECT_TRUE(bool(link.stream));
    EXPECT_TRUE(received == expected) << received.size() << " bytes";

    // A bound socket that does not listen holds the port, so nobody else can take it.
    const int holder = ops::create_tcp();
    sockaddr_in any_address{};
    any_address.sin_family = AF_INET;
    ASSERT_EQ(ops::bind(holder, any_address), 0);
    EXPECT_FALSE(bool(tcp_stream("127.0.0.1", ops::local_port(holder))));
    // Sockets the server and socket_ops open stay with this process.
    EXPECT_FALSE(inherited_by_children(link.peer));
    EXPECT_FALSE(inherited_by_children(holder));
    ops::close(holder);

    tcp_stream by_name("localhost", link.server.local_port());
    ASSERT_TRUE(bool(by_name));
    tcp_stream served(link.server.accept());
    by_name << "hello\n";
    EXPECT_EQ(served.read_line(1024), "hello");
    tcp_stream unresolved("no-such-host.invalid", 1);
    EXPECT_EQ(unresolved.get(), 0);
    EXPECT_FALSE(bool(unresolved << "ignored"));

    ops::close(link.peer);
    // The first send after the peer left may still be accepted; the reset it provokes fails a
    // later one. Getting here at all shows no signal killed the process.
    EXPECT_TRUE(brix_test::wait_until([&] { return !bool(link.stream << "data"); }));
}

TEST(TcpServer, ACloseReleasesTheSocketOnce) {
    auto* first = new tcp_server("127.0.0.1", 0);
    first->close();
    EXPECT_LT(first->accept(), 0);  // the accepting thread releases a closed server's socket
    EXPECT_EQ(first->local_port(), -1);
    tcp_server second("127.0.0.1", 0);  // most likely on the descriptor the first one released
    delete first;
    tcp_stream client("127.0.0.1", second.local_port());
    tcp_stream served(second.accept());
    client << "ok\n";
    EXPECT_EQ(served.read_line(1024), "ok");
}

TEST(StreamTest, ALineDeadlineKeepsTheStreamsTimeoutAndOnceItHasPassedTakesOnlyWhatArrived) {
    Connection link;
    tcp_stream served(link.peer);
    ASSERT_EQ(ops::set_receive_timeout(link.peer, 7000), 0);
    link.stream << "ab\ncd\nef";
    EXPECT_EQ(served.read_line(1024, std::chrono::milliseconds(500)), "ab");
    EXPECT_EQ(ops::receive_timeout(link.peer), 7000u);
    const auto passed = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    EXPECT_EQ(served.read_line_until(1024, passed), "cd");
    EXPECT_TRUE(bool(served));
    EXPECT_EQ(served.read_line_until(1024, passed), "ef");  // no line feed yet: no waiting for it
    EXPECT_FALSE(bool(served));
    EXPECT_EQ(ops::receive_timeout(link.peer), 7000u);

    // A peer dribbling a byte now and then gets no more than the deadline: 'c' comes too late.
    served.clearerr();
    const auto start = std::chrono::steady_clock::now();
    std::thread dribbler([&] {
        char next = 'a';
        for (const int at : {0, 600, 1400}) {
            brix_test::wait_until([&] {
                return std::chrono::steady_clock::now() >= start + std::chrono::milliseconds(at);
            });
            link.stream << std::string(1, next++);
        }
    });
    EXPECT_EQ(served.read_line(1024, std::chrono::seconds(1)), "ab");
    EXPECT_FALSE(bool(served));
    dribbler.join();
}

TEST(TcpServer, AcceptFailuresOfOneConnectionAreRetriedAtOnceShortagesAfterAPause) {
    constexpr auto now = ops::AcceptFailure::retry_now, pause = ops::AcceptFailure::pause,
                   fatal = ops::AcceptFailure::fatal;
#ifdef _WIN32
    const std::pair<int, ops::AcceptFailure> rows[] = {
        {WSAECONNRESET, now}, {WSAEMFILE, pause}, {WSAENOTSOCK, fatal}};
#else
    const std::pair<int, ops::AcceptFailure> rows[] = {
        {ECONNABORTED, now}, {EPERM, now},    {ENETUNREACH, now}, {EHOSTDOWN, now},
        {EMFILE, pause},     {ENOMEM, pause}, {EBADF, fatal},     {EINVAL, fatal}};
#endif
    for (const auto& row : rows)
        EXPECT_EQ(ops::accept_failure_kind(row.first), row.second) << row.first;
}
