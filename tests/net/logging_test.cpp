// Where the client's messages go: through a bound logger at their level, or,
// with no logger bound, as fixed lines on standard output / standard error.
// Each scenario runs both ways and must produce exactly the listed output.
#include <netdb.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "loopback.h"
#include "net/socket_client_tcp6.h"

namespace {

using nettest::RecordingLogger;
using Entry = RecordingLogger::entry;
using spdlog::level::err;
using spdlog::level::info;

struct Target {
    const char* host;
    int port;
    std::shared_ptr<void> keep_alive;  // listener and the like
};

struct Scenario {
    const char* name;
    std::function<std::optional<Target>()> stage;  // nullopt: cannot be staged here
    int result;
    std::vector<Entry> logged;
    std::string out;
    std::string err;
};

void PrintTo(const Scenario& s, std::ostream* out) { *out << s.name; }

const std::string trying = "Trying to connect to ip address: ::1";
const std::string trying_line = "PALVAPI -- Trying to connect to ip address: ::1\n";
const std::string no_family = gai_strerror(EAI_ADDRFAMILY);

std::optional<Target> listening() {
    auto listener = std::make_shared<nettest::Listener>();
    return Target{"::1", listener->port(), listener};
}

std::vector<Scenario> scenarios() {
    return {
        {"connected", listening, 0, {{info, trying}}, trying_line, ""},
        {"ipv4_literal", [] { return std::optional<Target>(Target{"127.0.0.1", 1, nullptr}); }, 2,
         {{err, "getaddrinfo failed: " + no_family}}, "", "getaddrinfo failed: " + no_family + "\n"},
        {"host_too_long",
         [] { return std::optional<Target>(Target{"0000:0000:0000:0000:0000:00:0:01", 1, nullptr}); }, 2,
         {{err, "getaddrinfo failed: host name longer than 31 characters"}}, "",
         "getaddrinfo failed: host name longer than 31 characters\n"},
        {"stalled",
         []() -> std::optional<Target> {
             std::shared_ptr<nettest::StalledListener> stalled = nettest::StalledListener::make();
             if (!stalled) return std::nullopt;
             return Target{"::1", stalled->port(), stalled};
         },
         3,
         {{info, trying}, {err, "select() failed or timed out"}, {err, "Failed to connect to any resolved address"}},
         trying_line, "DEBUG: select() failed or timed out\nDEBUG: Failed to connect to any resolved address\n"},
    };
}

struct Outcome {
    int result;
    std::string out;
    std::string err;
};

Outcome connect_capturing(const Target& target) {
    SocketClientTCP6 client(target.host, target.port);
    nettest::AlarmGuard alarm(10);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int result = client.connect();
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    return {result, std::move(out), std::move(err)};
}

class MessageRouting : public testing::TestWithParam<std::tuple<Scenario, bool>> {};

TEST_P(MessageRouting, ProducesExactlyTheListedOutput) {
    const Scenario& scenario = std::get<0>(GetParam());
    const bool with_logger = std::get<1>(GetParam());
    const std::optional<Target> target = scenario.stage();
    if (!target) GTEST_SKIP() << "scenario cannot be staged on this machine";

    if (with_logger) {
        RecordingLogger log;
        const Outcome outcome = connect_capturing(*target);
        EXPECT_EQ(outcome.result, scenario.result);
        EXPECT_EQ(log.entries(), scenario.logged);
        EXPECT_EQ(outcome.out, "") << "a bound logger replaces the standard streams";
        EXPECT_EQ(outcome.err, "");
    } else {
        ASSERT_EQ(SocketClientTCP6::logger.load(), nullptr);
        const Outcome outcome = connect_capturing(*target);
        EXPECT_EQ(outcome.result, scenario.result);
        EXPECT_EQ(outcome.out, scenario.out);
        EXPECT_EQ(outcome.err, scenario.err);
    }
}

INSTANTIATE_TEST_SUITE_P(Scenarios, MessageRouting, testing::Combine(testing::ValuesIn(scenarios()), testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "_logger" : "_fallback");
                         });

// A logger that filters a level drops those messages; they are not sent to
// the standard streams instead.
TEST(MessageRouting, MessagesBelowTheLoggersLevelAreDroppedNotRedirected) {
    const std::optional<Target> target = listening();
    RecordingLogger log(spdlog::level::warn);
    const Outcome outcome = connect_capturing(*target);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(log.entries(), std::vector<Entry>{});
    EXPECT_EQ(outcome.out, "");
    EXPECT_EQ(outcome.err, "");
}

}  // namespace
