// Situations that cannot be staged on the machine's own loopback without
// changing it run in a child process inside a private network namespace that
// the test creates (root only; skipped otherwise).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loopback.h"
#include "net/socket_client_tcp6.h"

namespace {

using nettest::RecordingLogger;
using Entry = RecordingLogger::entry;
using Names = std::vector<std::string>;

void run_isolated(const std::function<void()>& body) { nettest::run_isolated(body, true); }

// ---------------------------------------------------------------------------
// Candidates whose connect() fails at once: each is reported with the system's
// text, its socket is closed, and the walk ends with 3.

struct ImmediateFailure {
    const char* name;
    bool loopback_up;
    const char* host;
    const char* listed;  // what ip_addresses records
    int error;           // errno of the failing connect()
};

void PrintTo(const ImmediateFailure& c, std::ostream* out) { *out << c.name; }

class ImmediateConnectFailure : public testing::TestWithParam<ImmediateFailure> {};

TEST_P(ImmediateConnectFailure, IsReportedAndEndsWithThree) {
    const ImmediateFailure& c = GetParam();
    run_isolated([&] {
        if (c.loopback_up) ASSERT_STAGED(nettest::bring_loopback_up());
        const std::string failure = std::string("connect() failed immediately: ") + std::strerror(c.error);
        {
            RecordingLogger log;
            SocketClientTCP6 client(c.host, 4242);
            const std::size_t descriptors = nettest::open_descriptor_count();
            EXPECT_EQ(client.connect(), 3);
            EXPECT_FALSE(client.connected());
            EXPECT_EQ(client.get_ip_addresses(), Names{c.listed});
            EXPECT_EQ(log.entries(),
                      (std::vector<Entry>{{spdlog::level::info, std::string("Trying to connect to ip address: ") + c.listed},
                                          {spdlog::level::err, failure},
                                          {spdlog::level::err, "Failed to connect to any resolved address"}}));
            EXPECT_EQ(nettest::open_descriptor_count(), descriptors);
        }
        SocketClientTCP6 client(c.host, 4242);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = client.connect();
        const std::string out = testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, 3);
        EXPECT_EQ(out, std::string("PALVAPI -- Trying to connect to ip address: ") + c.listed + "\n");
        EXPECT_EQ(err, "DEBUG: " + failure + "\nDEBUG: Failed to connect to any resolved address\n");
    });
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, ImmediateConnectFailure,
    testing::Values(
        // A fresh namespace's loopback is down: ::1 is not even assigned.
        ImmediateFailure{"loopback_down", false, "::1", "::1", EADDRNOTAVAIL},
        // Link-local without an interface: no "%" in the text, so the address
        // is tried as it is, and the kernel refuses it.
        ImmediateFailure{"link_local_without_scope", true, "fe80::1", "fe80::1", EINVAL}),
    [](const auto& info) { return std::string(info.param.name); });

// A link-local address that names its interface keeps that scope and connects.
TEST(LinkLocal, AddressWithItsInterfaceConnects) {
    run_isolated([] {
        ASSERT_STAGED(nettest::bring_loopback_up());
        ASSERT_STAGED(nettest::add_loopback_address("fe80::1"));
        nettest::Listener listener(8, "fe80::1%lo");
        RecordingLogger log;
        SocketClientTCP6 client("fe80::1%lo", listener.port());
        EXPECT_EQ(client.connect(), 0);
        EXPECT_EQ(client.get_ip_addresses(), Names{"fe80::1%lo"});
        EXPECT_TRUE(listener.accept_for(std::chrono::seconds(2)).valid());
    });
}

// ---------------------------------------------------------------------------
// get_network_adapters lists an interface once per IPv6 address it carries.

TEST(NetworkAdapters, ListAnInterfaceOncePerIpv6Address) {
    run_isolated([] {
        EXPECT_EQ(SocketClientTCP6::get_network_adapters(), Names{}) << "loopback down: no IPv6 address at all";
        ASSERT_STAGED(nettest::bring_loopback_up());
        EXPECT_EQ(SocketClientTCP6::get_network_adapters(), Names{"lo"});
        ASSERT_STAGED(nettest::add_loopback_address("fd00::1"));
        EXPECT_EQ(SocketClientTCP6::get_network_adapters(), (Names{"lo", "lo"}));
    });
}

// On the machine itself: the same names, as many times, as the kernel's own
// table of IPv6 addresses shows.
TEST(NetworkAdapters, MatchTheKernelsIpv6AddressTable) {
    std::ifstream table("/proc/net/if_inet6");
    if (!table) GTEST_SKIP() << "/proc/net/if_inet6 is not available";
    Names expected;
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string address, index, prefix, scope, flags, name;
        if (fields >> address >> index >> prefix >> scope >> flags >> name) expected.push_back(name);
    }
    Names listed = SocketClientTCP6::get_network_adapters();
    EXPECT_NE(std::find(listed.begin(), listed.end(), "lo"), listed.end()) << "the loopback carries ::1";
    std::sort(listed.begin(), listed.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);
}

}  // namespace
