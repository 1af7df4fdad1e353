// The WinSock transport against a listener of the test's own on [::1]
// (ephemeral port): what connect() returns, which addresses it records, and
// that its only diagnostic is the address being tried.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "net/socket_client_tcp6.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
using Strings = std::vector<std::string>;

// A listening socket on [::1] with a port the system picked.
class Listener {
public:
    Listener() {
        WSADATA data;
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        socket_ = ::socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        int length = sizeof address;
        if (socket_ == INVALID_SOCKET ||
            ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(socket_, 4) != 0 ||
            ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin6_port);
    }
    ~Listener() {
        if (peer_ != INVALID_SOCKET) ::closesocket(peer_);
        close();
        if (started_) ::WSACleanup();
    }
    int port() const { return port_; }
    void close() {
        if (socket_ != INVALID_SOCKET) ::closesocket(socket_);
        socket_ = INVALID_SOCKET;
    }
    // The accepted connection (kept by the listener), or INVALID_SOCKET after 2 s.
    SOCKET accept() {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(socket_, &readable);
        timeval limit{2, 0};
        if (::select(0, &readable, nullptr, nullptr, &limit) != 1) return INVALID_SOCKET;
        peer_ = ::accept(socket_, nullptr, nullptr);
        const DWORD timeout = 2000;
        ::setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
        return peer_;
    }

private:
    bool started_ = false;
    SOCKET socket_ = INVALID_SOCKET;
    SOCKET peer_ = INVALID_SOCKET;
    int port_ = 0;
};

// Binds a logger that records "level|message" lines at every level, and
// unbinds it afterwards.
class WinsockClient : public testing::Test {
protected:
    void SetUp() override {
        logger_ = std::make_shared<spdlog::logger>("transport",
                                                   std::make_shared<spdlog::sinks::ostream_sink_st>(lines_));
        logger_->set_pattern("%l|%v");
        logger_->set_level(spdlog::level::trace);
        SocketClientTCP6::logger.store(logger_.get());
    }
    void TearDown() override { SocketClientTCP6::logger.store(nullptr); }

    Strings logged() const {
        Strings out;
        std::istringstream in(lines_.str());
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            out.push_back(line);
        }
        return out;
    }

    std::ostringstream lines_;
    std::shared_ptr<spdlog::logger> logger_;
};

const std::string trying_loopback = "info|Trying to connect to ip address: ::1";

TEST_F(WinsockClient, ConnectsToLoopbackAndCarriesBytesBothWays) {
    Listener listener;
    ASSERT_NE(listener.port(), 0);
    SocketClientTCP6 client("::1", listener.port());

    ASSERT_EQ(client.connect(), 0);
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(client.get_ip_addresses(), Strings{"::1"});
    EXPECT_EQ(logged(), Strings{trying_loopback});

    const SOCKET peer = listener.accept();
    ASSERT_NE(peer, INVALID_SOCKET);
    EXPECT_EQ(client.send("Hello", 5), 5);
    char greeting[16] = {};
    EXPECT_EQ(::recv(peer, greeting, sizeof greeting, 0), 5);
    EXPECT_EQ(std::string(greeting), "Hello");

    // Blocking again after the bounded connect: recv waits for the reply.
    ASSERT_EQ(::send(peer, "OK and more", 11, 0), 11);
    char reply[128] = {};
    EXPECT_EQ(client.recv(reply, sizeof reply), 11);
    EXPECT_EQ(std::string(reply), "OK and more");

    EXPECT_EQ(client.close(), 0);
    EXPECT_FALSE(client.connected());
    char ignored[4];
    EXPECT_EQ(::recv(peer, ignored, sizeof ignored, 0), 0) << "the peer sees the close";
}

TEST_F(WinsockClient, IdleReceiveGivesUpAfterTheOneSecondTimeout) {
    Listener listener;
    SocketClientTCP6 client("::1", listener.port());
    ASSERT_EQ(client.connect(), 0);
    ASSERT_NE(listener.accept(), INVALID_SOCKET);

    char buffer[8];
    const auto start = clock_type::now();
    EXPECT_EQ(client.recv(buffer, sizeof buffer), -1);
    const auto waited = clock_type::now() - start;
    EXPECT_GE(waited, 800ms);
    EXPECT_LT(waited, 3s);
}

TEST_F(WinsockClient, SecondConnectOnOneClientIsRefusedAndChangesNothing) {
    Listener listener;
    SocketClientTCP6 client("::1", listener.port());
    ASSERT_EQ(client.connect(), 0);
    const SOCKET peer = listener.accept();
    ASSERT_NE(peer, INVALID_SOCKET);

    EXPECT_EQ(client.connect(), 5);
    EXPECT_EQ(client.connect(), 5);
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(client.get_ip_addresses(), Strings{"::1"});
    EXPECT_EQ(logged(), Strings{trying_loopback});
    // Still the first connection.
    EXPECT_EQ(client.send("x", 1), 1);
    char received = 0;
    EXPECT_EQ(::recv(peer, &received, 1, 0), 1);
    EXPECT_EQ(received, 'x');
}

// Hosts the transport refuses before any socket exists. The refusal gives
// WinSock back, so the same client refuses again with 2 rather than 5.
TEST_F(WinsockClient, HostsWithoutAnIpv6AddressAreRefusedSilently) {
    const std::string too_long(SocketClientTCP6::max_host_length + 1, 'a');
    struct Case {
        const char* name;
        const char* host;
    };
    const Case cases[] = {
        {"IPv4 literal", "127.0.0.1"},
        {"host text over 31 characters", too_long.c_str()},
        {"no host text", nullptr},
    };
    Listener listener;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SocketClientTCP6 client(c.host, listener.port());
        EXPECT_EQ(client.connect(), 2);
        EXPECT_EQ(client.connect(), 2);
        EXPECT_FALSE(client.connected());
        EXPECT_TRUE(client.get_ip_addresses().empty());
    }
    EXPECT_TRUE(logged().empty()) << lines_.str();
}

TEST_F(WinsockClient, NobodyListeningCostsAtMostTheWaitAndIsSilent) {
    int port = 0;
    {
        Listener gone;
        port = gone.port();
    }
    SocketClientTCP6 client("::1", port);
    const auto start = clock_type::now();
    EXPECT_EQ(client.connect(), 3);
    EXPECT_LT(clock_type::now() - start, 3s);
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(client.get_ip_addresses(), Strings{"::1"});
    EXPECT_EQ(logged(), Strings{trying_loopback}) << "failed candidates log nothing";
    EXPECT_EQ(client.connect(), 5) << "WinSock stays started after 3";
}

TEST_F(WinsockClient, WithoutLoggerTheTriedAddressGoesToStandardOutput) {
    SocketClientTCP6::logger.store(nullptr);
    Listener listener;
    SocketClientTCP6 client("::1", listener.port());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = client.connect();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(out, "PALVAPI -- Trying to connect to ip address: ::1\n");
    EXPECT_EQ(err, "");
}

TEST_F(WinsockClient, AdapterListHoldsDescriptionsAndNoHubAdapterUnderTest) {
    const Strings adapters = SocketClientTCP6::get_network_adapters();
    EXPECT_FALSE(adapters.empty());
    for (const std::string& description : adapters) {
        SCOPED_TRACE(description);
        EXPECT_FALSE(description.empty());
        EXPECT_EQ(description.find(SocketClientTCP6::hub_adapter_description), std::string::npos);
    }
    EXPECT_TRUE(logged().empty()) << lines_.str();
}

}  // namespace
