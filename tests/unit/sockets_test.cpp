// Listening sockets and the socket helpers of the sessions.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "common/sockets.h"
#include "daemon/listeners.h"
#include "tests/unit/support.h"

namespace {

uint16_t bound_port(int sd) {
    sockaddr_in address = {};
    socklen_t length = sizeof address;
    getsockname(sd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int connect_loopback(uint16_t port) {
    int sd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(sd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(sd);
        return -1;
    }
    return sd;
}

int int_option(int sd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    if (getsockopt(sd, level, name, &value, &length) != 0)
        return -1;
    return value;
}

// A listener on an ephemeral loopback port with one accepted connection.
struct LoopbackConnection {
    LoopbackConnection() {
        listener = create_listen_socket(0);
        client = connect_loopback(bound_port(listener));
        pollfd ready = {listener, POLLIN, 0};
        if (poll(&ready, 1, 2000) == 1)
            server = accept(listener, nullptr, nullptr);
    }
    ~LoopbackConnection() {
        for (int sd : {listener, client, server}) {
            if (sd >= 0)
                close(sd);
        }
    }
    int listener = -1;
    int client = -1;
    int server = -1;
};

TEST(ListenSocket, IsANonBlockingReusableListenerThatAccepts) {
    const int sd = create_listen_socket(0);
    ASSERT_GE(sd, 0);
    EXPECT_NE(fcntl(sd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(int_option(sd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(int_option(sd, SOL_SOCKET, SO_ACCEPTCONN), 1);
    EXPECT_EQ(int_option(sd, SOL_SOCKET, SO_TYPE), SOCK_STREAM);

    // Nothing pending: accept() returns at once instead of blocking the loop.
    EXPECT_EQ(accept(sd, nullptr, nullptr), -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);

    sockaddr_in address = {};
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(sd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_ANY));
    ASSERT_NE(address.sin_port, 0);

    const int client = connect_loopback(ntohs(address.sin_port));
    ASSERT_GE(client, 0);
    pollfd ready = {sd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 2000), 1);
    const int accepted = accept(sd, nullptr, nullptr);
    EXPECT_GE(accepted, 0);
    close(accepted);
    close(client);
    close(sd);
}

TEST(ListenSocket, PortHeldByAnotherListenerFailsLoggedWithoutLeak) {
    const int first = create_listen_socket(0);
    ASSERT_GE(first, 0);
    LogCapture log;
    const int descriptors = open_descriptor_count();
    EXPECT_EQ(create_listen_socket(bound_port(first)), -1);
    EXPECT_TRUE(log.has_line("bind() failed: Address already in use")) << log.text();
    EXPECT_EQ(open_descriptor_count(), descriptors);
    close(first);
}

TEST(Keepalive, PeerIsGivenUpAfterTwentyThreeSeconds) {
    LoopbackConnection connection;
    ASSERT_GE(connection.server, 0);
    LogCapture log;
    set_keepalive(connection.server);
    EXPECT_EQ(int_option(connection.server, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(int_option(connection.server, IPPROTO_TCP, TCP_KEEPCNT), 2);
    EXPECT_EQ(int_option(connection.server, IPPROTO_TCP, TCP_KEEPIDLE), 1);
    EXPECT_EQ(int_option(connection.server, IPPROTO_TCP, TCP_KEEPINTVL), 11);
    // Milliseconds: 23 would drop a client whose window is full for a moment.
    EXPECT_EQ(int_option(connection.server, IPPROTO_TCP, TCP_USER_TIMEOUT), 23000);
    EXPECT_EQ(log.text(), "");
}

TEST(Keepalive, NotASocketIsLoggedNotFatal) {
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    LogCapture log;
    set_keepalive(pipe_ends[0]);
    close(pipe_ends[0]);
    close(pipe_ends[1]);
    EXPECT_NE(log.text().find("setsockopt(SO_KEEPALIVE) failed: "), std::string::npos) << log.text();
}

TEST(WriteChunked, ClosedPeerFails) {
    signal(SIGPIPE, SIG_IGN);
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    close(pair[1]);
    const std::vector<char> data(100000, 'z');
    EXPECT_EQ(write_chunked(pair[0], data.data(), data.size(), 1000), -1);
    EXPECT_EQ(errno, EPIPE);
    close(pair[0]);
}

TEST(WriteChunked, EachWriteIsAtMostOneChunk) {
    // A SOCK_SEQPACKET socket shows the size of every write().
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    std::vector<char> data(10007);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    ASSERT_EQ(write_chunked(pair[0], data.data(), data.size(), 1000), 0);
    close(pair[0]);

    std::vector<char> received;
    std::vector<size_t> sizes;
    char record[4096];
    for (ssize_t length; (length = recv(pair[1], record, sizeof record, 0)) > 0;) {
        sizes.push_back(static_cast<size_t>(length));
        received.insert(received.end(), record, record + length);
    }
    close(pair[1]);
    EXPECT_EQ(received, data);
    ASSERT_EQ(sizes.size(), 11u);
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(sizes[i], 1000u);
    EXPECT_EQ(sizes[10], 7u);
}

TEST(LocalInterfaceName, LoopbackConnectionIsOnLo) {
    LoopbackConnection connection;
    ASSERT_GE(connection.server, 0);
    for (int sd : {connection.server, connection.client}) {
        char name[32] = "unchanged";
        local_interface_name(sd, name, sizeof name);
        EXPECT_STREQ(name, "lo");
    }
}

TEST(LocalInterfaceName, TruncatesAndStaysTerminated) {
    LoopbackConnection connection;
    ASSERT_GE(connection.server, 0);
    char name[4] = {'x', 'x', 'x', 'x'};
    local_interface_name(connection.server, name, 2);
    EXPECT_EQ(name[0], 'l');
    EXPECT_EQ(name[1], '\0');
    EXPECT_EQ(name[2], 'x');  // nothing written past the given size
    local_interface_name(connection.server, name, 1);
    EXPECT_EQ(name[0], '\0');
    EXPECT_EQ(name[1], '\0');
    name[0] = 'x';
    local_interface_name(connection.server, name, 0);
    EXPECT_EQ(name[0], 'x');
}

TEST(LocalInterfaceName, LeavesTheBufferWhenNoInterfaceMatches) {
    LogCapture log;
    const int unbound = socket(AF_INET, SOCK_STREAM, 0);  // local address 0.0.0.0
    int unix_pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, unix_pair), 0);
    for (int sd : {unbound, unix_pair[0]}) {
        char name[16] = "unchanged";
        local_interface_name(sd, name, sizeof name);
        EXPECT_STREQ(name, "unchanged") << "sd " << sd;
    }
    close(unbound);
    close(unix_pair[0]);
    close(unix_pair[1]);

    char name[16] = "unchanged";
    local_interface_name(1 << 20, name, sizeof name);  // not a descriptor
    EXPECT_STREQ(name, "unchanged");
    EXPECT_NE(log.text().find("getsockname() failed: "), std::string::npos) << log.text();
}

}  // namespace
