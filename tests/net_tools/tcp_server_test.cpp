#include "net_tools/tcp_server.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#endif

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "net_tools/tcp_stream.h"
#include "tests/net_tools/loopback.h"
#include "tests/support/wait_until.h"

using net_tools::tcp_server;
using net_tools_test::connect_raw;
using net_tools_test::receive_raw;
namespace ops = net_tools::socket_ops;

namespace {

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

}  // namespace

TEST(TcpServer, AcceptsAClientOnThePortItChose) {
    tcp_server server("127.0.0.1", 0);
    ASSERT_TRUE(server.listening()) << server.error_text();
    EXPECT_EQ(server.error_text(), "");
    EXPECT_EQ(server.error_code(), 0);
    ASSERT_GT(server.local_port(), 0);

    const int client = connect_raw(server.local_port());
    ASSERT_GE(client, 0);
    const int accepted = server.accept();
    // Sockets the server (and socket_ops) open stay with this process.
    EXPECT_FALSE(inherited_by_children(accepted));
    EXPECT_FALSE(inherited_by_children(client));
    net_tools::tcp_stream served(accepted);
    served << "pong";
    served.close();
    EXPECT_EQ(receive_raw(client, 10), "pong");
    ops::close(client);
}

TEST(TcpServer, APortInUseIsRememberedWithItsAddressPortAndCause) {
    tcp_server first("127.0.0.1", 0);
    ASSERT_TRUE(first.listening()) << first.error_text();
    const int port = first.local_port();

    tcp_server second("127.0.0.1", port);
    EXPECT_FALSE(second.listening());
    EXPECT_NE(second.error_code(), 0);
    const std::string text = second.error_text();
    EXPECT_NE(text.find("bind"), std::string::npos) << text;
    EXPECT_NE(text.find("127.0.0.1 port " + std::to_string(port)), std::string::npos) << text;
    EXPECT_NE(text.find(ops::error_text(second.error_code())), std::string::npos) << text;
    EXPECT_LT(second.accept(), 0);
    EXPECT_FALSE(second.accept_error_is_transient());

    // The server that holds the port is unaffected.
    const int client = connect_raw(port);
    ASSERT_GE(client, 0);
    const int accepted = first.accept();
    EXPECT_GE(accepted, 0);
    ops::close(accepted);
    ops::close(client);
}

TEST(TcpServer, CloseFromAnotherThreadWakesABlockedAccept) {
    tcp_server server("127.0.0.1", 0);
    ASSERT_TRUE(server.listening()) << server.error_text();
    std::atomic<bool> accepting{false};
    std::atomic<bool> returned{false};
    int result = 0;
    std::thread acceptor([&] {
        accepting = true;
        result = server.accept();
        returned = true;
    });
    ASSERT_TRUE(brix_test::wait_until([&] { return accepting.load(); }));
    server.close();
    EXPECT_TRUE(brix_test::wait_until([&] { return returned.load(); }, std::chrono::seconds(30)));
    acceptor.join();
    EXPECT_LT(result, 0);
    EXPECT_FALSE(server.accept_error_is_transient());
}

TEST(TcpServer, AcceptAfterCloseFailsAtOnce) {
    tcp_server server("127.0.0.1", 0);
    ASSERT_TRUE(server.listening()) << server.error_text();
    const int client = connect_raw(server.local_port());
    server.close();
    server.close();
    EXPECT_LT(server.accept(), 0);
    EXPECT_FALSE(server.accept_error_is_transient());
    EXPECT_EQ(server.local_port(), -1);
    if (client >= 0) ops::close(client);
}

TEST(TcpServer, CloseThenDestructorReleasesTheSocketOnce) {
    auto first = std::make_unique<tcp_server>("127.0.0.1", 0);
    ASSERT_TRUE(first->listening()) << first->error_text();
    first->close();
    // The descriptor just released is usually handed straight to the next socket; a second
    // release by the destructor would close this server's socket instead.
    tcp_server second("127.0.0.1", 0);
    ASSERT_TRUE(second.listening()) << second.error_text();
    first.reset();

    const int client = connect_raw(second.local_port());
    ASSERT_GE(client, 0);
    const int accepted = second.accept();
    EXPECT_GE(accepted, 0);
    if (accepted >= 0) ops::close(accepted);
    ops::close(client);
}
