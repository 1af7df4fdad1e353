// connect(): which hosts get as far as the resolver, which candidates are
// tried, how long a hopeless candidate may take, and that nothing leaks.
#include <fcntl.h>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/time.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <memory>
#include <optional>
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
using Entry = RecordingLogger::entry;
using Addresses = std::vector<std::string>;

const std::string trying_loopback = "Trying to connect to ip address: ::1";
const std::string nothing_connected = "Failed to connect to any resolved address";

std::string name_of(const char* text) { return text; }

// ---------------------------------------------------------------------------
// Spellings of ::1 that must all reach the listener.

struct Spelling {
    const char* name;
    const char* host;
};

void PrintTo(const Spelling& s, std::ostream* out) { *out << s.name; }

class LoopbackSpelling : public testing::TestWithParam<Spelling> {};

TEST_P(LoopbackSpelling, ConnectsAndCarriesBytesBothWays) {
    Listener listener;
    RecordingLogger log;
    SocketClientTCP6 client(GetParam().host, listener.port());
    AlarmGuard alarm(10);

    ASSERT_EQ(client.connect(), 0);
    EXPECT_TRUE(client.connected());
    EXPECT_EQ(client.get_ip_addresses(), Addresses{"::1"});
    EXPECT_EQ(log.entries(), (std::vector<Entry>{{spdlog::level::info, trying_loopback}}));

    Fd peer = listener.accept_for(2s);
    ASSERT_TRUE(peer.valid());
    ASSERT_EQ(client.send("Hello", 5), 5);
    char greeting[16] = {};
    ASSERT_EQ(::recv(peer.get(), greeting, sizeof greeting, 0), 5);
    EXPECT_EQ(std::string(greeting, 5), "Hello");

    ASSERT_EQ(::send(peer.get(), "OK and more", 11, 0), 11);
    char reply[128] = {};
    ASSERT_EQ(client.recv(reply, 2), 2) << "recv must respect the capacity it is given";
    EXPECT_EQ(std::string(reply, 2), "OK");
    ASSERT_EQ(client.recv(reply, sizeof reply), 9);
    EXPECT_EQ(std::string(reply, 9), " and more");
}

INSTANTIATE_TEST_SUITE_P(Hosts, LoopbackSpelling,
                         testing::Values(Spelling{"compressed", "::1"},
                                         Spelling{"expanded", "0:0:0:0:0:0:0:1"},
                                         // 31 characters: the longest host text the client keeps.
                                         Spelling{"longest_kept_31_chars", "0000:0000:0000:0000:0000:00:0:1"}),
                         [](const auto& info) { return name_of(info.param.name); });

// ---------------------------------------------------------------------------
// Hosts the client must refuse before any socket exists: result 2, one
// resolver message, no candidate, no connection reaching the listener.

struct Refusal {
    const char* name;
    const char* host;
    std::optional<int> port;  // empty: the listener's port
    std::string detail;       // the "{}" of "getaddrinfo failed: {}"
};

void PrintTo(const Refusal& r, std::ostream* out) { *out << r.name; }

class ResolverRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(ResolverRefusal, ReturnsTwoWithTheResolverMessageAndTriesNothing) {
    const Refusal& refusal = GetParam();
    Listener listener;
    RecordingLogger log;
    const std::size_t descriptors = nettest::open_descriptor_count();
    SocketClientTCP6 client(refusal.host, refusal.port.value_or(listener.port()));

    EXPECT_EQ(client.connect(), 2);
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(client.get_ip_addresses(), Addresses{});
    EXPECT_EQ(log.entries(), (std::vector<Entry>{{spdlog::level::err, "getaddrinfo failed: " + refusal.detail}}));
    EXPECT_FALSE(listener.accept_for(100ms).valid());
    EXPECT_EQ(nettest::open_descriptor_count(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, ResolverRefusal,
    testing::Values(
        Refusal{"ipv4_literal", "127.0.0.1", std::nullopt, gai_strerror(EAI_ADDRFAMILY)},
        Refusal{"ipv4_shorthand", "127.1", std::nullopt, gai_strerror(EAI_ADDRFAMILY)},
        Refusal{"ipv4_any", "0.0.0.0", std::nullopt, gai_strerror(EAI_ADDRFAMILY)},
        // 32 characters. Cut to 31 it would still be a valid address (::), so
        // a client that truncated silently would go on and connect.
        Refusal{"host_of_32_chars", "0000:0000:0000:0000:0000:00:0:01", std::nullopt,
                "host name longer than 31 characters"},
        Refusal{"host_far_too_long", "0000:0000:0000:0000:0000:00:0:1/and/then/a/good/deal/more/text", std::nullopt,
                "host name longer than 31 characters"},
        Refusal{"null_host", nullptr, std::nullopt, "no host name given"},
        Refusal{"negative_port", "::1", -1, gai_strerror(EAI_SERVICE)}),
    [](const auto& info) { return name_of(info.param.name); });

// ---------------------------------------------------------------------------
// A closed port on ::1. Linux answers the SYN with a RST that is handled
// only after the non-blocking connect() has returned EINPROGRESS; the socket
// then polls writable with the refusal pending. The pending error tells it
// from a connection, so the candidate fails at once and its socket is closed.

TEST(RefusedPort, IsAFailedCandidateNotAConnection) {
    RecordingLogger log;
    SocketClientTCP6 client("::1", nettest::closed_port());
    const std::size_t descriptors = nettest::open_descriptor_count();
    AlarmGuard alarm(10);

    int result = -1;
    const double taken = seconds_taken([&] { result = client.connect(); });
    EXPECT_EQ(result, 3);
    EXPECT_LT(taken, 1.0);
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(nettest::open_descriptor_count(), descriptors);
    EXPECT_EQ(client.get_ip_addresses(), Addresses{"::1"});
    EXPECT_EQ(log.entries(),
              (std::vector<Entry>{{spdlog::level::info, trying_loopback},
                                  {spdlog::level::err, "connect() failed: " + std::system_category().message(ECONNREFUSED)},
                                  {spdlog::level::err, nothing_connected}}));
}

// ---------------------------------------------------------------------------
// A candidate whose handshake never completes costs the 2 s wait, and no more.

TEST(StalledCandidate, GivesUpAfterTwoSecondsAndClosesItsSocket) {
    const auto stalled = nettest::StalledListener::make();
    if (!stalled) GTEST_SKIP() << "the kernel completed every connect to a full backlog-0 listener";
    RecordingLogger log;
    SocketClientTCP6 client("::1", stalled->port());
    const std::size_t descriptors = nettest::open_descriptor_count();
    AlarmGuard alarm(10);

    int result = -1;
    const double taken = seconds_taken([&] { result = client.connect(); });
    EXPECT_EQ(result, 3);
    EXPECT_GE(taken, 1.8);
    EXPECT_LE(taken, 4.0);
    EXPECT_FALSE(client.connected());
    EXPECT_EQ(client.get_ip_addresses(), Addresses{"::1"});
    EXPECT_EQ(log.entries(), (std::vector<Entry>{{spdlog::level::info, trying_loopback},
                                                 {spdlog::level::err, "select() failed or timed out"},
                                                 {spdlog::level::err, nothing_connected}}));
    EXPECT_EQ(nettest::open_descriptor_count(), descriptors);
}

// Signals the host receives while the client waits (a timer, a child's
// exit) interrupt the wait; the wait resumes with the time that is left.
TEST(StalledCandidate, SignalsDuringTheWaitNeitherShortenNorLengthenIt) {
    const auto stalled = nettest::StalledListener::make();
    if (!stalled) GTEST_SKIP() << "the kernel completed every connect to a full backlog-0 listener";
    RecordingLogger log;
    SocketClientTCP6 client("::1", stalled->port());

    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    struct sigaction saved {};
    ASSERT_EQ(::sigaction(SIGALRM, &action, &saved), 0);
    itimerval every_50ms{{0, 50'000}, {0, 50'000}};
    ASSERT_EQ(::setitimer(ITIMER_REAL, &every_50ms, nullptr), 0);
    int result = -1;
    const double taken = seconds_taken([&] { result = client.connect(); });
    itimerval off{};
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &saved, nullptr);

    EXPECT_EQ(result, 3);
    EXPECT_GE(taken, 1.8);
    EXPECT_LE(taken, 4.0);
    EXPECT_EQ(log.entries(), (std::vector<Entry>{{spdlog::level::info, trying_loopback},
                                                 {spdlog::level::err, "select() failed or timed out"},
                                                 {spdlog::level::err, nothing_connected}}));
}

// ---------------------------------------------------------------------------

TEST(RepeatedConnect, AppendsTheCandidatesOfEveryCallAndDropsTheEarlierConnection) {
    Listener listener;
    RecordingLogger log;
    SocketClientTCP6 client("::1", listener.port());
    AlarmGuard alarm(10);

    ASSERT_EQ(client.connect(), 0);
    Fd first = listener.accept_for(2s);
    ASSERT_TRUE(first.valid());
    const std::size_t descriptors = nettest::open_descriptor_count();

    ASSERT_EQ(client.connect(), 0);
    Fd second = listener.accept_for(2s);
    ASSERT_TRUE(second.valid());
    EXPECT_EQ(client.get_ip_addresses(), (Addresses{"::1", "::1"}));
    // Only the new peer descriptor was added: the client's first socket went.
    EXPECT_EQ(nettest::open_descriptor_count(), descriptors + 1);
    char byte = 0;
    EXPECT_EQ(::recv(first.get(), &byte, 1, 0), 0) << "the first connection was not closed";
}

// ---------------------------------------------------------------------------
// Descriptor limits.

// A host that already holds a thousand descriptors gets sockets numbered
// above FD_SETSIZE; the wait for the handshake must still work.
TEST(Descriptors, ConnectsWhenTheSocketNumberIsAboveFdSetSize) {
    rlimit current{};
    ::getrlimit(RLIMIT_NOFILE, &current);
    const rlim_t needed = FD_SETSIZE + 256;
    if (current.rlim_max != RLIM_INFINITY && current.rlim_max < needed) {
        GTEST_SKIP() << "the hard descriptor limit is below " << needed;
    }
    nettest::SoftDescriptorLimit limit(std::max<rlim_t>(current.rlim_cur, needed));
    ASSERT_TRUE(limit.ok());

    Listener listener;
    std::vector<Fd> padding;
    Fd null_device(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(null_device.valid());
    while (padding.empty() || padding.back().get() < FD_SETSIZE + 8) {
        padding.emplace_back(::fcntl(null_device.get(), F_DUPFD_CLOEXEC, 0));
        ASSERT_TRUE(padding.back().valid());
    }

    RecordingLogger log;
    SocketClientTCP6 client("::1", listener.port());
    AlarmGuard alarm(10);
    ASSERT_EQ(client.connect(), 0);
    Fd peer = listener.accept_for(2s);
    ASSERT_TRUE(peer.valid());
    ASSERT_EQ(client.send("ping", 4), 4);
    char buffer[8] = {};
    EXPECT_EQ(::recv(peer.get(), buffer, sizeof buffer, 0), 4);
}

}  // namespace
