#include "net_tools/tcp_stream.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>

#include "tests/net_tools/loopback.h"
#include "tests/support/wait_until.h"

using net_tools::tcp_stream;
using net_tools_test::connect_raw;
using net_tools_test::LoopbackPair;
using net_tools_test::receive_raw;
namespace ops = net_tools::socket_ops;

namespace {

bool tests_true(const tcp_stream& stream) { return static_cast<void*>(stream) != nullptr; }

// Sets the stream's error flag without closing either end: a read that times out.
void fail_by_timeout(int fd, tcp_stream& stream) {
    ASSERT_EQ(ops::set_receive_timeout(fd, 20), 0);
    EXPECT_EQ(stream.get(), 0);
    ASSERT_FALSE(tests_true(stream));
    ASSERT_EQ(ops::set_receive_timeout(fd, 0), 0);
}

}  // namespace

using ReadLine = LoopbackPair;

TEST_F(ReadLine, KeepsTheCarriageReturnOfACrLfLine) {
    tcp_stream stream(accepted);
    peer_sends("abc\r\n");
    EXPECT_EQ(stream.read_line(1024), "abc\r");
    EXPECT_TRUE(tests_true(stream));
}

TEST_F(ReadLine, StopsAtTheLimitAndLeavesTheRestInTheSocket) {
    tcp_stream stream(accepted);
    std::string sent;
    for (int i = 0; i < 2000; ++i) sent += static_cast<char>('a' + i % 26);
    peer_sends(sent);
    EXPECT_EQ(stream.read_line(1024), sent.substr(0, 1024));
    EXPECT_TRUE(tests_true(stream));

    close_peer();
    EXPECT_EQ(stream.read_line(5000), sent.substr(1024));
    EXPECT_FALSE(tests_true(stream));
}

TEST_F(ReadLine, ALineOfExactlyTheLimitLeavesItsLineFeedForTheNextCall) {
    tcp_stream stream(accepted);
    peer_sends("abcd\nz\n");
    EXPECT_EQ(stream.read_line(4), "abcd");
    EXPECT_EQ(stream.read_line(4), "");
    EXPECT_EQ(stream.read_line(4), "z");
    EXPECT_TRUE(tests_true(stream));
}

TEST_F(ReadLine, ALimitOfZeroStillReadsOneByte) {
    tcp_stream stream(accepted);
    peer_sends("xy\n");
    EXPECT_EQ(stream.read_line(0), "x");
    EXPECT_EQ(stream.read_line(1024), "y");
}

TEST_F(ReadLine, APeerThatClosesEndsTheLineAndFailsTheStream) {
    tcp_stream stream(accepted);
    close_peer();
    EXPECT_EQ(stream.read_line(1024), "");
    EXPECT_FALSE(tests_true(stream));
}

TEST_F(ReadLine, ReturnsWhatArrivedBeforeThePeerClosed) {
    tcp_stream stream(accepted);
    peer_sends("ab");
    close_peer();
    EXPECT_EQ(stream.read_line(1024), "ab");
    EXPECT_FALSE(tests_true(stream));
}

TEST_F(ReadLine, OnAFailedStreamDropsOneByteUntilCleared) {
    tcp_stream stream(accepted);
    fail_by_timeout(accepted, stream);
    peer_sends("xyz\n");
    EXPECT_EQ(stream.read_line(1024), "");
    EXPECT_FALSE(tests_true(stream));

    stream.clearerr();
    EXPECT_TRUE(tests_true(stream));
    EXPECT_EQ(stream.read_line(1024), "yz");
}

using StreamState = LoopbackPair;

TEST_F(StreamState, AReceiveTimeoutFailsABlockedReadLikeAClosedPeer) {
    tcp_stream stream(accepted);
    ASSERT_EQ(ops::set_receive_timeout(accepted, 20), 0);
    EXPECT_EQ(stream.get(), 0);
    EXPECT_FALSE(tests_true(stream));
}

TEST_F(StreamState, AClosedStreamTestsTrueAndNoLongerReads) {
    tcp_stream stream(accepted);
    fail_by_timeout(accepted, stream);
    stream.close();
    EXPECT_TRUE(tests_true(stream));

    peer_sends("data\n");
    EXPECT_EQ(stream.get(), 0);
    EXPECT_EQ(stream.read_line(1024), "");
    stream.close();
    EXPECT_TRUE(tests_true(stream));
}

TEST_F(StreamState, CloseThenDestructorReleasesTheDescriptorOnce) {
    auto* stream = new tcp_stream(accepted);
    stream->close();
    // The number just released is usually handed straight to the next socket; a second release
    // by the destructor would close that socket instead.
    const int reused = connect_raw(server.local_port());
    ASSERT_GE(reused, 0);
    delete stream;

    const int other_end = server.accept();
    ASSERT_GE(other_end, 0);
    const std::string text = "still open";
    EXPECT_EQ(ops::send(reused, text.data(), text.size()), text.size());
    EXPECT_EQ(receive_raw(other_end, text.size()), text);
    ops::close(reused);
    ops::close(other_end);
}

using Extraction = LoopbackPair;

TEST_F(Extraction, IntegerSkipsWhiteSpaceAndConsumesTheByteAfterTheDigits) {
    tcp_stream stream(accepted);
    int value = -1;
    peer_sends("  42x7");
    stream >> value;
    EXPECT_EQ(value, 42);
    EXPECT_EQ(stream.get(), '7');
    EXPECT_TRUE(tests_true(stream));
}

TEST_F(Extraction, IntegerHasNoSign) {
    tcp_stream stream(accepted);
    int value = -1;
    peer_sends("-5");
    stream >> value;
    EXPECT_EQ(value, 0);
    EXPECT_EQ(stream.get(), '5');
    EXPECT_TRUE(tests_true(stream));
}

TEST_F(Extraction, IntegerCutShortByAClosedPeerKeepsItsDigitsAndFails) {
    tcp_stream stream(accepted);
    int value = -1;
    peer_sends("12");
    close_peer();
    stream >> value;
    EXPECT_EQ(value, 12);
    EXPECT_FALSE(tests_true(stream));
}

TEST_F(Extraction, IntegerBeyondTheRangeSaturates) {
    tcp_stream stream(accepted);
    int value = -1;
    peer_sends("99999999999999999999999 8");
    stream >> value;
    EXPECT_EQ(value, INT_MAX);
    EXPECT_EQ(stream.get(), '8');
}

TEST_F(Extraction, WordDoesNotSkipLeadingWhiteSpace) {
    tcp_stream stream(accepted);
    std::string word = "old";
    peer_sends(" word");
    stream >> word;
    EXPECT_EQ(word, "");
    EXPECT_EQ(stream.get(), 'w');
}

TEST_F(Extraction, WordEndsAtWhiteSpaceOrAtAClosedPeerWithoutFailing) {
    tcp_stream stream(accepted);
    std::string word;
    peer_sends("first\tsecond");
    close_peer();
    stream >> word;
    EXPECT_EQ(word, "first");
    stream >> word;
    EXPECT_EQ(word, "second");
    EXPECT_TRUE(tests_true(stream));
}

TEST_F(Extraction, BytesAboveAsciiAreOrdinaryLetters) {
    tcp_stream stream(accepted);
    std::string word;
    peer_sends("\xe9\xa0\xff \xc3\xa9\n");
    stream >> word;
    EXPECT_EQ(word, "\xe9\xa0\xff");
    EXPECT_EQ(stream.read_line(1024), "\xc3\xa9");
}

using Insertion = LoopbackPair;

TEST_F(Insertion, SendsIntegersAsSignedDecimal) {
    tcp_stream stream(accepted);
    stream << -12;
    stream.close();
    EXPECT_EQ(receive_raw(peer, 100), "-12");
}

TEST_F(Insertion, ChainsAndSendsStringsWhole) {
    tcp_stream stream(accepted);
    stream << "a" << std::string("b\0c", 3) << 7 << "";
    EXPECT_TRUE(tests_true(stream));
    stream.close();
    EXPECT_EQ(receive_raw(peer, 100), std::string("ab\0c7", 5));
}

TEST_F(Insertion, SendingToAPeerThatHasGoneAwayOnlySetsTheFlag) {
    tcp_stream stream(accepted);
    close_peer();
    // The first send after the peer left may still be accepted by the system; the reset it
    // provokes makes a later one fail. Reaching the end at all shows no signal killed us.
    EXPECT_TRUE(brix_test::wait_until([&] {
        stream << "data";
        return !tests_true(stream);
    }));
}

TEST_F(Insertion, ALargeMessageArrivesWhole) {
    tcp_stream stream(accepted);
    std::string big(64 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 % 251);
    // Read on another thread, so that the send never waits on a reader that is not reading.
    std::string received;
    std::thread reader([&] { received = receive_raw(peer, big.size()); });
    stream << big;
    reader.join();
    EXPECT_TRUE(tests_true(stream));
    EXPECT_TRUE(received == big);
}

using Connecting = LoopbackPair;

TEST_F(Connecting, ReachesAServerByAddressAndByName) {
    for (const char* host : {"127.0.0.1", "localhost"}) {
        tcp_stream client(host, server.local_port());
        EXPECT_TRUE(tests_true(client)) << host;
        tcp_stream served(server.accept());
        client << "hello\n";
        EXPECT_EQ(served.read_line(1024), "hello") << host;
    }
}

TEST_F(Connecting, ARefusedConnectionFailsTheStream) {
    // A bound socket that does not listen holds the port, so nobody else can take it.
    const int holder = ops::create_tcp();
    ASSERT_GE(holder, 0);
    ASSERT_EQ(ops::bind(holder, net_tools_test::loopback_address(0)), 0);
    tcp_stream client("127.0.0.1", ops::local_port(holder));
    EXPECT_FALSE(tests_true(client));
    ops::close(holder);
}

TEST(ConnectingTo, AHostThatDoesNotResolveFailsWithoutASocket) {
    tcp_stream client("no-such-host.invalid", 1);
    EXPECT_FALSE(tests_true(client));
    client << "ignored" << 5;
    EXPECT_EQ(client.get(), 0);
    EXPECT_EQ(client.read_line(1024), "");
    EXPECT_FALSE(tests_true(client));
    client.close();
    EXPECT_TRUE(tests_true(client));
}
