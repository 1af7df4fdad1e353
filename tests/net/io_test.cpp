// send/recv/close on a connected client: the 1 s time-outs that keep the hub
// read loop responsive, a vanished peer, and descriptor ownership.
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loopback.h"
#include "net/socket_client_tcp6.h"

namespace {

using namespace std::chrono_literals;
using nettest::AlarmGuard;
using nettest::Fd;
using nettest::Listener;
using nettest::RecordingLogger;
using nettest::seconds_taken;

// A client connected to a listener on ::1, with the accepted peer.
struct Connection {
    Listener listener;
    RecordingLogger log;
    std::unique_ptr<SocketClientTCP6> client;
    Fd peer;

    Connection() : client(std::make_unique<SocketClientTCP6>("::1", listener.port())) {
        if (client->connect() != 0) throw std::runtime_error("could not connect to the loopback listener");
        peer = listener.accept_for(2s);
        if (!peer.valid()) throw std::runtime_error("the loopback listener saw no connection");
    }
};

bool peer_sees_end_of_stream(const Fd& peer) {
    AlarmGuard alarm(3);
    char byte = 0;
    return ::recv(peer.get(), &byte, 1, 0) == 0;
}

TEST(Timeouts, RecvOnAnIdleConnectionGivesUpAfterAboutOneSecond) {
    Connection connection;
    AlarmGuard alarm(5);
    char buffer[16];
    int result = 0;
    int error = 0;
    const double taken = seconds_taken([&] {
        result = connection.client->recv(buffer, sizeof buffer);
        error = errno;
    });
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(error == EAGAIN || error == EWOULDBLOCK) << std::strerror(error);
    EXPECT_GE(taken, 0.8);
    EXPECT_LE(taken, 2.5);
}

TEST(Timeouts, SendToAPeerThatNeverReadsGivesUpAfterAboutOneSecond) {
    Connection connection;
    AlarmGuard alarm(30);
    const std::vector<char> chunk(64 * 1024, 'x');
    // Fill both socket buffers; the first send that has to wait must come
    // back after the send time-out with part of the chunk or none of it.
    for (int round = 0; round < 4096; ++round) {
        int result = 0;
        int error = 0;
        const double taken = seconds_taken([&] {
            result = connection.client->send(chunk.data(), static_cast<int>(chunk.size()));
            error = errno;
        });
        ASSERT_FALSE(result == -1 && error == EINTR) << "send blocked until the test's alarm";
        if (taken >= 0.5) {
            EXPECT_GE(taken, 0.8);
            EXPECT_LE(taken, 2.5);
            EXPECT_TRUE(result < static_cast<int>(chunk.size())) << result;
            if (result == -1) EXPECT_TRUE(error == EAGAIN || error == EWOULDBLOCK) << std::strerror(error);
            return;
        }
        ASSERT_EQ(result, static_cast<int>(chunk.size())) << std::strerror(error);
    }
    FAIL() << "the socket buffers never filled";
}

TEST(PeerGone, RecvReportsTheEndOfTheStreamAsZero) {
    Connection connection;
    connection.peer.reset();
    AlarmGuard alarm(5);
    char buffer[16];
    EXPECT_EQ(connection.client->recv(buffer, sizeof buffer), 0);
}

// The host keeps the default SIGPIPE action; a send on a connection that the
// hub has closed must come back as an error instead of ending the process.
TEST(PeerGone, SendReturnsEpipeInsteadOfRaisingSigpipe) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(SIGPIPE, &default_action, &saved), 0);

    Connection connection;
    connection.peer.reset();  // FIN now; the next segment we send draws a RST
    AlarmGuard alarm(10);
    int result = 0;
    int error = 0;
    for (int round = 0; round < 200 && result != -1; ++round) {
        result = connection.client->send("data", 4);
        error = errno;
        if (result != -1) ::usleep(10 * 1000);
    }
    EXPECT_EQ(result, -1);
    EXPECT_EQ(error, EPIPE) << std::strerror(error);
    ::sigaction(SIGPIPE, &saved, nullptr);
}

TEST(Ownership, CloseReleasesTheSocketAndLeavesTheClientWithout) {
    const std::size_t descriptors = nettest::open_descriptor_count();
    Connection connection;
    EXPECT_EQ(connection.client->close(), 0);
    EXPECT_FALSE(connection.client->connected());
    EXPECT_TRUE(peer_sees_end_of_stream(connection.peer));
    EXPECT_EQ(connection.client->close(), 0) << "closing twice";

    char buffer[4];
    EXPECT_EQ(connection.client->send("x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(connection.client->recv(buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EBADF);
    connection.peer.reset();
    connection.client.reset();
    // Of the connection only the listener's descriptor is left.
    EXPECT_EQ(nettest::open_descriptor_count(), descriptors + 1);
}

TEST(Ownership, DestroyingAConnectedClientClosesItsSocket) {
    Connection connection;
    const std::size_t descriptors = nettest::open_descriptor_count();
    connection.client.reset();
    EXPECT_TRUE(peer_sees_end_of_stream(connection.peer));
    EXPECT_EQ(nettest::open_descriptor_count(), descriptors - 1);
}

TEST(Ownership, AClientThatNeverConnectedHasNoSocket) {
    SocketClientTCP6 client("::1", 1);
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(client.get_ip_addresses(), std::vector<std::string>{});
    EXPECT_EQ(client.close(), 0);
    char buffer[4];
    EXPECT_EQ(client.send("x", 1), -1);
    EXPECT_EQ(client.recv(buffer, sizeof buffer), -1);
}

// A negative length must never reach the kernel as a huge size.
TEST(Ownership, NegativeLengthsAreRefusedWithoutTouchingTheBuffers) {
    Connection connection;
    ASSERT_EQ(::send(connection.peer.get(), "abcd", 4, 0), 4);
    char buffer[4] = {'-', '-', '-', '-'};
    EXPECT_EQ(connection.client->recv(buffer, -1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(std::string(buffer, 4), "----");
    EXPECT_EQ(connection.client->send("abcd", -1), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(connection.client->recv(buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
}

}  // namespace
