// Hub sessions over a lab's day: open before the hub is up and again once it
// is, a hub that drops the connection and comes back, writes that cannot go
// out, release while reconnecting, stop and start in one process.
#include <atomic>
#include <map>

#include "hub_host.h"
#include "default_descriptor.h"

using namespace palvex_test;

namespace {

constexpr int package_column = 26;
constexpr int filler_column = static_cast<int>(default_filler_column);

struct SessionState {
    int32_t state = -1;
    uint32_t reconnections = 0;
};

SessionState session() {
    SessionState s;
    EXPECT_EQ(corvel_get_connection_state(&s.state, &s.reconnections), 0);
    return s;
}

bool wait_for_state(int32_t wanted, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (session().state != wanted) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class HubSession : public HubTest {
protected:
    int32_t write(const Bytes& command, void* ctx) { return corvel_write_data(command.data(), command.size(), ctx); }

    std::vector<Delivery> rows_of(void* ctx) {
        std::vector<Delivery> out;
        for (Delivery& d : rows.deliveries())
            if (d.context == ctx) out.push_back(std::move(d));
        return out;
    }
    bool wait_rows(void* ctx, std::size_t n, std::chrono::milliseconds timeout = 5s) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (rows_of(ctx).size() < n) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    // A read loop that just started (or reconnected) throws its first
    // receive away and searches the step: a board registered for this is
    // sent until its context gets a row. Its numbers go on across calls.
    void join_with_probe() {
        const std::size_t before = rows_of(probe).size();
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (rows_of(probe).size() == before) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the read loop never found its step";
            hub.send_bytes(hub_chunk("PROBE", packet_of(MES_4, probe_number)));
            probe_number += 2;
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_TRUE(hub.wait_sent(2s));
        std::this_thread::sleep_for(50ms);
    }

    // Board B1 streaming on its own, as boards behind a hub do. While the
    // hub is down it counts on: the test moves `counted_through` forward.
    void stream_b1() {
        hub.set_stream_jitter(7, 2ms);
        hub.stream([this](std::uint64_t i) {
            const auto n = static_cast<std::uint32_t>(1001 + 2 * i) + counted_through.load();
            return hub_chunk("B1", packet_of(MES_4, n));
        }, 1000000);
    }

    void* const probe = context(9);
    std::uint32_t probe_number = 1;
    std::atomic<std::uint32_t> counted_through{0};
};

// Every number from the first to the last once, in order: the rows that
// arrived and, for each one missing, a filler row.
void expect_every_number_once(const std::vector<Delivery>& rows) {
    ASSERT_FALSE(rows.empty());
    for (std::size_t i = 1; i < rows.size(); ++i)
        ASSERT_EQ(rows[i].row[package_column], rows[i - 1].row[package_column] + 1) << "at row " << i;
}

std::size_t fillers(const std::vector<Delivery>& rows) {
    std::size_t n = 0;
    for (const Delivery& d : rows) n += d.row[filler_column] == 1.0;
    return n;
}

TEST_F(HubSession, OpenWhileTheHubIsDownFailsAndTheNextOpenConnects) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    hub.stop_listening();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(corvel_open_connection("::1", log.logger.get()), PALVEX_ERR_NO_CONNECTION);
    // Five attempts spread out, so that a hub still booting gets a chance.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1800ms);
    EXPECT_EQ(log.count("error|Socket creation error: 3 "), 5u);
    EXPECT_EQ(session().state, PALVEX_HUB_NOT_OPENED);
    // Not opened: a read loop returns at once, a write has no connection.
    reader.start();
    ASSERT_TRUE(reader.wait_returned(1s));
    EXPECT_EQ(log.count("error|No connection to Corvel"), 1u);
    EXPECT_EQ(write({0x10}, context(1)), PALVEX_ERR_NO_CONNECTION);

    hub.listen_again();
    EXPECT_EQ(corvel_open_connection("::1", log.logger.get()), 0);
    EXPECT_EQ(session().state, PALVEX_HUB_CONNECTED);
    EXPECT_EQ(hub.accepted_count(), 1u);
    // Connected: a second open makes no new connection.
    EXPECT_EQ(corvel_open_connection("::1", nullptr), 0);
    EXPECT_EQ(hub.accepted_count(), 1u);
    start_loop();
    send(hub_chunk("B1", packet_of(MES_4, 7)));
    ASSERT_TRUE(wait_rows(context(1), 2));
    EXPECT_EQ(rows_of(context(1))[0].row[package_column], 7.0);
    EXPECT_EQ(write({0x10}, context(1)), 0);
    EXPECT_TRUE(hub.wait_for_frames(1, 2s));
}

// The hub closes the connection (or resets it) mid-stream, stays down for a
// while, refuses two greetings and then accepts: the loop reconnects on its
// own, and nothing the host registered notices but the loss.
class HubDrop : public HubSession, public ::testing::WithParamInterface<bool> {};

TEST_P(HubDrop, LoopReconnectsAndTheOutageIsALoss) {
    const bool reset = GetParam();
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    start_reading();
    ASSERT_EQ(corvel_set_board(context(2), ""), 0);
    stream_b1();
    ASSERT_TRUE(wait_rows(context(1), 200));
    ASSERT_EQ(session().state, PALVEX_HUB_CONNECTED);

    hub.stop_listening();
    ASSERT_TRUE(hub.drop_session(reset));
    ASSERT_TRUE(wait_for_state(PALVEX_HUB_RECONNECTING, 3s));
    const std::size_t received = hub.received_size();
    EXPECT_EQ(write({0x10}, context(1)), PALVEX_ERR_NO_CONNECTION);
    EXPECT_EQ(write({0x10}, context(2)), PALVEX_ERR_NO_CONNECTION);
    counted_through += 40;  // 20 packets the board sent while nobody could hear them

    hub.refuse_next(2);
    hub.listen_again();
    ASSERT_TRUE(wait_for_state(PALVEX_HUB_CONNECTED, 15s));
    EXPECT_EQ(session().reconnections, 1u);
    const std::size_t after = rows_of(context(1)).size();
    ASSERT_TRUE(wait_rows(context(1), after + 200));
    EXPECT_EQ(hub.received_size(), received) << "a write during the outage sent something";
    ASSERT_EQ(write({0x10}, context(1)), 0);
    ASSERT_TRUE(hub.wait_for_frames(1, 2s));
    EXPECT_EQ(hub.frames()[0].entries.at(0).ssid, "B1");

    hub.stop_stream();
    corvel_release();
    ASSERT_TRUE(reader.wait_returned(2s));

    // Two refused greetings, then the session that took over.
    const auto conns = hub.connections();
    ASSERT_EQ(conns.size(), 4u);
    EXPECT_EQ(conns[1].reply, "NO");
    EXPECT_EQ(conns[2].reply, "NO");
    EXPECT_TRUE(conns[3].session);
    EXPECT_EQ(hub.sessions_count(), 2u);
    EXPECT_EQ(log.count("warning|Corvel connection lost; reconnecting ..."), 1u);
    EXPECT_EQ(log.count("info|Corvel connection restored after"), 1u);
    EXPECT_EQ(log.count("error|"), 0u) << "retries are quiet";
    EXPECT_EQ(ssid_list(), (std::vector<std::string>{lead_ssid, "B1"}));

    const auto registered = rows_of(context(1));
    const auto all_boards = rows_of(context(2));
    expect_every_number_once(registered);
    EXPECT_GE(fillers(registered), 40u);
    ASSERT_EQ(all_boards.size(), registered.size());
    for (std::size_t i = 0; i < registered.size(); ++i)
        ASSERT_EQ(all_boards[i].row, registered[i].row) << "row " << i;
}

INSTANTIATE_TEST_SUITE_P(Drops, HubDrop, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "reset" : "close"; });

TEST_F(HubSession, ReleaseWhileReconnectingEndsTheLoop) {
    start_reading();
    hub.stop_listening();
    ASSERT_TRUE(hub.drop_session());
    ASSERT_TRUE(wait_for_state(PALVEX_HUB_RECONNECTING, 3s));
    std::this_thread::sleep_for(300ms);  // well into the pauses between attempts
    const auto start = std::chrono::steady_clock::now();
    corvel_release();
    ASSERT_TRUE(reader.wait_returned(2s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_EQ(session().state, PALVEX_HUB_RELEASED);
    // Opened again while the hub is still down: the attempts fail, hub mode
    // is not opened, and the next open once it is up connects.
    EXPECT_EQ(corvel_open_connection("::1", nullptr), PALVEX_ERR_NO_CONNECTION);
    EXPECT_EQ(session().state, PALVEX_HUB_NOT_OPENED);
    hub.listen_again();
    EXPECT_EQ(corvel_open_connection("::1", nullptr), 0);
    EXPECT_EQ(session().state, PALVEX_HUB_CONNECTED);
}

// Acquisition hosts stop and start streams all the time. Each start is a
// new session: registrations and SSIDs stay, the loss accounting starts
// afresh, so the packets sent while stopped are no loss.
TEST_F(HubSession, StopAndStartThreeTimes) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    ASSERT_EQ(corvel_set_board(probe, "PROBE"), 0);
    for (std::uint32_t round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (round == 2) ASSERT_TRUE(hub.drop_session());  // gone while stopped: found out and mended
        ASSERT_EQ(corvel_open_connection("::1", log.logger.get()), 0);
        reader.start();
        join_with_probe();
        const std::size_t before = rows_of(context(1)).size();
        for (std::uint32_t p = 0; p < 5; ++p) send(hub_chunk("B1", packet_of(MES_4, 1 + round * 100 + 2 * p)));
        ASSERT_TRUE(wait_rows(context(1), before + 10));
        corvel_release();
        ASSERT_TRUE(reader.wait_returned(2s));
        EXPECT_EQ(session().state, PALVEX_HUB_RELEASED);
    }
    const auto b1 = rows_of(context(1));
    ASSERT_EQ(b1.size(), 30u);
    EXPECT_EQ(fillers(b1), 0u);
    for (std::size_t i = 0; i < b1.size(); ++i)
        EXPECT_EQ(b1[i].row[package_column], 1.0 + (i / 10) * 100 + i % 10) << i;
    EXPECT_EQ(ssid_list(), (std::vector<std::string>{"PROBE", "B1"}));
    EXPECT_EQ(hub.sessions_count(), 2u);  // the open after a stop kept the connection that was alive
    EXPECT_EQ(session().reconnections, 1u);
}

// A hub that stops reading: the send buffers fill, a frame goes out only in
// part. The call says so, the half frame dies with that connection, and the
// trigger it carried goes out with the next frame on the new one.
TEST_F(HubSession, FrameThatCannotGoOutWholeIsNotReportedAsSent) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    start_reading();
    send(hub_chunk("B1", packet_of(MES_4, 1)));
    ASSERT_TRUE(wait_rows(context(1), 2));
    hub.set_session_reading(false);
    int32_t rc = 0;
    for (int i = 0; i < 200000 && rc == 0; ++i) rc = write({0x01}, context(1));  // a trigger for a MES board
    ASSERT_EQ(rc, PALVEX_ERR_NO_CONNECTION);
    hub.set_session_reading(true);
    ASSERT_TRUE(wait_for_state(PALVEX_HUB_CONNECTED, 10s));
    ASSERT_EQ(session().reconnections, 1u);
    ASSERT_TRUE(hub.wait_for_session(2s));
    const std::size_t frames_before = hub.frames().size();
    ASSERT_EQ(write({0x10}, context(1)), 0);  // no trigger code of its own
    ASSERT_TRUE(hub.wait_for_frames(frames_before + 1, 2s));
    const WriteFrame last = hub.frames().back();
    EXPECT_EQ(last.trigger, 1);
    ASSERT_EQ(last.entries.size(), 1u);
    EXPECT_EQ(last.entries[0].instruction, (Bytes{0x10, 0, 0, 0, 0}));
    EXPECT_EQ(hub.pending_frame_bytes(), 0u);
}

// Writers on another thread while the loop loses and replaces the
// connection: every call says 0 or 5, and every frame the hub gets is whole.
TEST_F(HubSession, WritesFromAnotherThreadWhileTheLoopReconnects) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    start_reading();
    send(hub_chunk("B1", packet_of(MES_4, 1)));
    ASSERT_TRUE(wait_rows(context(1), 2));
    std::atomic<bool> stop{false};
    std::map<int32_t, int> results;
    std::thread writer([&] {
        while (!stop) {
            ++results[write({0x10}, context(1))];
            std::this_thread::sleep_for(1ms);
        }
    });
    for (std::uint32_t drop = 1; drop <= 3; ++drop) {
        ASSERT_TRUE(hub.drop_session(drop % 2 == 0));
        ASSERT_TRUE(wait_for_state(PALVEX_HUB_CONNECTED, 10s));
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (session().reconnections < drop && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(5ms);
        ASSERT_EQ(session().reconnections, drop);
        std::this_thread::sleep_for(100ms);
    }
    stop = true;
    writer.join();
    EXPECT_GT(results[0], 0);
    for (const auto& [rc, n] : results) EXPECT_TRUE(rc == 0 || rc == PALVEX_ERR_NO_CONNECTION) << rc;
    for (const WriteFrame& f : hub.frames()) EXPECT_EQ(f.raw.size(), 20u);
    EXPECT_EQ(hub.pending_frame_bytes(), 0u);
}

}  // namespace
