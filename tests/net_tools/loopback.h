// Test-only: a listening server on a free loopback port with one raw peer connected to it, to
// drive the classes under test from the other end of a real connection.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "net_tools/socket_ops.h"
#include "net_tools/tcp_server.h"

namespace net_tools_test {

namespace ops = net_tools::socket_ops;

inline sockaddr_in loopback_address(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr = ops::ipv4_from_text("127.0.0.1");
    address.sin_port = htons(static_cast<unsigned short>(port));
    return address;
}

// A raw socket connected to 127.0.0.1:`port`, or -1.
inline int connect_raw(int port) {
    const int fd = ops::create_tcp();
    if (fd >= 0 && ops::connect(fd, loopback_address(port)) < 0) {
        ops::close(fd);
        return -1;
    }
    return fd;
}

// Receives up to `count` bytes from `fd`, fewer when the connection ends first.
inline std::string receive_raw(int fd, std::size_t count) {
    std::string text;
    char byte;
    while (text.size() < count && ops::recv_byte(fd, &byte) == 1) text += byte;
    return text;
}

// `accepted` is the server end of the connection from `peer`; the test owns `accepted`.
class LoopbackPair : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.listening()) << server.error_text();
        ASSERT_GE(peer = connect_raw(server.local_port()), 0);
        ASSERT_GE(accepted = server.accept(), 0) << ops::error_text(server.accept_error());
    }
    void TearDown() override { close_peer(); }

    void peer_sends(const std::string& text) {
        ASSERT_EQ(ops::send(peer, text.data(), text.size()), text.size());
    }
    void close_peer() {
        if (peer >= 0) ops::close(peer);
        peer = -1;
    }

    net_tools::tcp_server server{"127.0.0.1", 0};
    int peer = -1;
    int accepted = -1;
};

}  // namespace net_tools_test
