// Opening the hub connection: greeting, attempts, open-once, no connection.
#include "hub_host.h"

using namespace palvex_test;

namespace {

struct GreetingCase {
    const char* name;
    FakeHub::Reply reply;
    int32_t result;
    std::size_t connections;
};

void PrintTo(const GreetingCase& c, std::ostream* os) { *os << c.name; }

// Parameterised so that CTest runs each case in a process of its own: the
// connection opens once per process.
class Greeting : public HubTest, public ::testing::WithParamInterface<GreetingCase> {};

TEST_P(Greeting, DecidesTheAttempt) {
    const GreetingCase& c = GetParam();
    hub.set_reply(c.reply);
    EXPECT_EQ(corvel_open_connection("::1", log.logger.get()), c.result);
    EXPECT_EQ(hub.accepted_count(), c.connections);
    ASSERT_TRUE(hub.wait_for_greetings(c.connections, 2s));
    for (const auto& connection : hub.connections())
        EXPECT_EQ(std::string(connection.greeting.begin(), connection.greeting.end()), "Hello");
    EXPECT_EQ(log.count("info|Opening connection to Corvel ... "), 1u);
    EXPECT_EQ(log.count("info|Successfully created socket, now trying to greet Corvel ... "), c.connections);
    EXPECT_EQ(log.count("info|Corvel handshake successfull."), c.result == 0 ? 1u : 0u);
    // Connected: a second call makes no attempt. Not connected: it tries again.
    hub.set_reply(FakeHub::Reply::text("OK"));
    EXPECT_EQ(corvel_open_connection("::1", nullptr), 0);
    EXPECT_EQ(hub.accepted_count(), c.result == 0 ? 1u : c.connections + 1);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Greeting,
    ::testing::Values(GreetingCase{"ok", FakeHub::Reply::text("OK"), 0, 1},
                      GreetingCase{"ok_and_more", FakeHub::Reply::text("OK, hub ready"), 0, 1},
                      GreetingCase{"lower_case", FakeHub::Reply::text("ok"), PALVEX_ERR_NO_CONNECTION, 5},
                      GreetingCase{"other", FakeHub::Reply::text("NO"), PALVEX_ERR_NO_CONNECTION, 5},
                      GreetingCase{"one_byte", FakeHub::Reply::text("O"), PALVEX_ERR_NO_CONNECTION, 5},
                      GreetingCase{"closed", FakeHub::Reply::close_connection(), PALVEX_ERR_NO_CONNECTION, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HubTest, FifthAttemptMaySucceed) {
    hub.refuse_first(4);
    EXPECT_EQ(corvel_open_connection("::1", log.logger.get()), 0);
    EXPECT_EQ(hub.accepted_count(), 5u);
}

TEST_F(HubTest, ConcurrentOpensConnectOnce) {
    std::vector<std::thread> openers;
    std::atomic<int> failures{0};
    for (int i = 0; i < 3; ++i)
        openers.emplace_back([&] { failures += corvel_open_connection("::1", nullptr) != 0; });
    for (auto& t : openers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(hub.accepted_count(), 1u);
}

TEST_F(HubTest, SecondOpenRebindsTheLogger) {
    connect();
    CapturedLog& second = lasting_log();
    EXPECT_EQ(corvel_open_connection("::1", second.logger.get()), 0);
    EXPECT_EQ(second.count("info|Opening connection to Corvel ... "), 1u);
    EXPECT_EQ(hub.accepted_count(), 1u);
    start_loop();
    send(hub_chunk("NEW1", packet_of(MES_4, 1)));
    ASSERT_TRUE(hub.wait_sent(1s));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(second.count("info|Storing new SSID: NEW1"), 1u);
    EXPECT_EQ(log.count("Storing new SSID"), 0u);
}

TEST(HubNoConnection, ReadAndWriteRefuseWithoutAConnection) {
    // Nothing listens on [::1]:5005 here: every attempt is refused.
    CapturedLog& log = lasting_log();
    set_board_json(default_descriptor_json().c_str());
    corvel_set_pcallback(&Recorder::on_row);
    EXPECT_EQ(corvel_set_board(context(1), ""), 0);
    EXPECT_EQ(corvel_open_connection("::1", log.logger.get()), PALVEX_ERR_NO_CONNECTION);
    // Loopback reports the refusal after the non-blocking connect started:
    // the pending error makes each attempt a failed one, so none is greeted.
    const std::size_t attempts = log.count("info|Trying to connect to ip address: ::1");
    EXPECT_EQ(attempts, 5u);
    EXPECT_EQ(log.count("error|Socket creation error: 3 "), 5u);
    EXPECT_EQ(log.count("Successfully created socket"), 0u);
    EXPECT_EQ(log.count("Corvel handshake successfull."), 0u);
    const auto start = std::chrono::steady_clock::now();
    corvel_read_thread();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(log.count("error|No connection to Corvel"), 1u);
    const unsigned char trigger[] = {1};
    EXPECT_EQ(corvel_write_data(trigger, 1, context(1)), PALVEX_ERR_NO_CONNECTION);
    // Registration is looked at before the connection, a missing command before both.
    EXPECT_EQ(corvel_write_data(trigger, 1, context(2)), PALVEX_ERR_NOT_REGISTERED);
    EXPECT_EQ(corvel_write_data(nullptr, 1, context(2)), PALVEX_ERR_NO_INSTRUCTION);
    // Not opened: the next call tries again.
    EXPECT_EQ(corvel_open_connection("::1", log.logger.get()), PALVEX_ERR_NO_CONNECTION);
    EXPECT_EQ(log.count("info|Trying to connect to ip address: ::1"), 2 * attempts);
}

TEST(HubNoConnection, HostTextTooLongIsRefused) {
    CapturedLog& log = lasting_log();
    const std::string host(32, 'a');
    EXPECT_EQ(corvel_open_connection(host.c_str(), log.logger.get()), PALVEX_ERR_NO_CONNECTION);
    EXPECT_EQ(log.count("error|Socket creation error: 2 "), 5u);
}

TEST(HubNoConnection, ReadLoopNeedsACallback) {
    CapturedLog& log = lasting_log();
    set_logger(log.logger.get());
    corvel_read_thread();
    EXPECT_EQ(log.count("error|PCallback was not set. Aborting"), 1u);
    // The claim was not taken: with a callback the loop runs (and here
    // finds no connection).
    corvel_set_pcallback(&Recorder::on_row);
    corvel_set_pcallback(nullptr);  // the first stored callback stays
    corvel_read_thread();
    EXPECT_EQ(log.count("error|No connection to Corvel"), 1u);
}

TEST(HubNoConnection, ReleaseFirstThenOpen) {
    EXPECT_EQ(corvel_release(), 0);
    EXPECT_EQ(release(), 0);
    char** list = nullptr;
    int count = -1;
    EXPECT_EQ(corvel_get_list_of_ssids(&list, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_NE(list, nullptr);
    corvel_free_ssid_list(list, count);
}

}  // namespace
