// The read loop decodes a fast stream of four boards while three host
// threads register boards, read the SSID list and send instructions, and one
// of them finally releases the loop. Under the thread and address
// sanitizers this is where a missing lock, a torn table or a decoder freed
// under a reader shows; without them it still checks that every context's
// rows stay in sequence and every write frame says what was asked.
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>

#include "hub_host.h"

using namespace palvex_test;

namespace {

constexpr int boards = 4;
const char* const ssids[boards] = {"S1", "S2", "S3", "S4"};
const COMM_TYPE kinds[boards] = {MES_4, IMP_3, WUA2, MES_5};
constexpr std::uint32_t first_number = 1000;
constexpr std::uint64_t packets_per_batch = 8;  // per board
constexpr auto race_time = 1500ms;

// Contexts: 1..4 registered for S1..S4 (2..4 while the stream runs), 5 and
// 6 for all boards (6 while the stream runs), 7..10 under SSIDs that never
// stream, 15 never registered.
constexpr int all_boards = 5, late_all_boards = 6, silent_first = 7, unregistered = 15;

struct Tally {
    std::atomic<std::uint64_t> rows{0};
    double last = -1;  // read loop's thread only
};
std::array<Tally, 16> tallies;
std::atomic<bool> broken{false};

int index_of(void* ctx) {
    for (int i = 0; i < 16; ++i)
        if (context(i) == ctx) return i;
    return -1;
}

// Runs on the read loop's thread.
void on_row(void* ctx, const double* row, size_t count) {
    const int i = index_of(ctx);
    if (i < 0 || count != default_row_length || row[29] != 1.0) {
        broken = true;
        return;
    }
    Tally& t = tallies[static_cast<std::size_t>(i)];
    // A context of one board sees that board's numbers one after another.
    if (i >= 1 && i <= boards && t.last >= 0 && row[26] != t.last + 1) broken = true;
    t.last = row[26];
    t.rows.fetch_add(1, std::memory_order_relaxed);
}

Bytes batch(std::uint64_t index) {
    Bytes out;
    for (std::uint64_t j = 0; j < packets_per_batch; ++j) {
        const auto n = static_cast<std::uint32_t>(first_number + 2 * (index * packets_per_batch + j));
        for (int b = 0; b < boards; ++b) {
            const Bytes c = hub_chunk(ssids[b], packet_of(kinds[b], n));
            out.insert(out.end(), c.begin(), c.end());
        }
    }
    return out;
}

struct Write {
    void* context;
    std::array<unsigned char, 5> command;
};

class Stress : public HubTest {
protected:
    data_callback_fn row_callback() const override { return &on_row; }
};

bool wait_until(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

TEST_F(Stress, HostThreadsRaceTheReadLoopUntilRelease) {
    ASSERT_EQ(corvel_set_board(context(1), ssids[0]), 0);
    ASSERT_EQ(corvel_set_board(context(all_boards), ""), 0);
    ASSERT_EQ(corvel_open_connection("::1", log.logger.get()), 0);
    // The hub streams from its greeting on; the loop joins wherever it is.
    hub.stream(&batch, 1000000000);
    reader.start();
    // S1's decoder exists from here on, so a write for context 1 always has its entry.
    ASSERT_TRUE(wait_until([] { return tallies[1].rows.load() > 0; }, 5s));

    std::atomic<bool> stop{false};
    std::atomic<bool> late_registered{false};
    std::thread registry([&] {
        for (int b = 1; b < boards; ++b) EXPECT_EQ(corvel_set_board(context(1 + b), ssids[b]), 0);
        for (int i = 0; !stop; ++i) {
            if (i == 20) {
                EXPECT_EQ(corvel_set_board(context(late_all_boards), ""), 0);
                late_registered = true;
            }
            const std::string silent = "X" + std::to_string(i % 100);
            const int32_t rc = corvel_set_board(context(silent_first + i % 4), silent.c_str());
            EXPECT_TRUE(rc == 0 || rc == PALVEX_ERR_DUPLICATE) << rc;
            EXPECT_EQ(corvel_set_board(context(1), ssids[0]), PALVEX_ERR_DUPLICATE);
            std::this_thread::sleep_for(200us);
        }
    });
    std::thread lists([&] {
        while (!stop) {
            char** list = nullptr;
            int count = -1;
            EXPECT_EQ(corvel_get_list_of_ssids(&list, &count), 0);
            EXPECT_GE(count, 1);
            EXPECT_LE(count, boards);
            for (int i = 0; i < count; ++i) EXPECT_LE(std::strlen(list[i]), 2u);
            corvel_free_ssid_list(list, count);
            for (int i = 0; i <= count + 1; ++i) {
                char* ssid = nullptr;
                EXPECT_EQ(corvel_get_ssid_by_idx(i, &ssid), 0);
                EXPECT_EQ(ssid != nullptr, i >= 1 && i <= count) << i;
                corvel_free_ssid(ssid);
            }
            std::this_thread::yield();
        }
    });
    std::vector<Write> sent;
    std::chrono::steady_clock::time_point released_at;
    std::thread writer([&] {
        void* const targets[] = {context(1), context(all_boards), context(silent_first), context(unregistered)};
        const auto end = std::chrono::steady_clock::now() + race_time;
        for (unsigned i = 0; std::chrono::steady_clock::now() < end; ++i) {
            Write w{targets[i % 4], {static_cast<unsigned char>(i % 3 == 0 ? 1 : 3), 0x10, 0x20,
                                     static_cast<unsigned char>(i), 0x40}};
            const int32_t rc = corvel_write_data(w.command.data(), w.command.size(), w.context);
            if (w.context == context(unregistered)) EXPECT_EQ(rc, PALVEX_ERR_NOT_REGISTERED);
            else if (w.context == context(silent_first)) EXPECT_TRUE(rc == 0 || rc == PALVEX_ERR_NOT_REGISTERED) << rc;
            else EXPECT_EQ(rc, 0);
            if (rc == 0) sent.push_back(w);
            std::this_thread::sleep_for(500us);
        }
        released_at = std::chrono::steady_clock::now();
        corvel_release();
    });
    writer.join();
    const bool returned = reader.wait_returned(2s);
    const auto release_took = std::chrono::steady_clock::now() - released_at;
    stop = true;
    registry.join();
    lists.join();
    hub.stop_stream();
    ASSERT_TRUE(returned) << "the read loop did not end after corvel_release";
    EXPECT_LT(release_took, 1500ms);

    EXPECT_FALSE(broken) << "a row out of sequence or malformed";
    ASSERT_TRUE(late_registered);
    for (int i = 1; i <= late_all_boards; ++i) EXPECT_GT(tallies[static_cast<std::size_t>(i)].rows.load(), 0u) << i;
    for (int i = silent_first; i < 16; ++i) EXPECT_EQ(tallies[static_cast<std::size_t>(i)].rows.load(), 0u) << i;
    EXPECT_EQ(log.count("Packet interpretation error"), 0u);
    EXPECT_EQ(log.count("jumped"), 0u);

    std::printf("stress: rows per context 1..6: %llu %llu %llu %llu %llu %llu; %zu write frames\n",
                static_cast<unsigned long long>(tallies[1].rows.load()),
                static_cast<unsigned long long>(tallies[2].rows.load()),
                static_cast<unsigned long long>(tallies[3].rows.load()),
                static_cast<unsigned long long>(tallies[4].rows.load()),
                static_cast<unsigned long long>(tallies[5].rows.load()),
                static_cast<unsigned long long>(tallies[6].rows.load()), sent.size());

    // One frame per accepted write, in order, each saying what was asked.
    ASSERT_FALSE(sent.empty());
    ASSERT_TRUE(hub.wait_for_frames(sent.size(), 3s)) << hub.frames().size() << " of " << sent.size();
    const std::vector<WriteFrame> frames = hub.frames();
    ASSERT_EQ(frames.size(), sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const Write& w = sent[i];
        const WriteFrame& f = frames[i];
        const Bytes instruction(w.command.begin(), w.command.end());
        std::set<std::string> seen;
        bool mes_board = false;
        for (const WriteFrame::Entry& e : f.entries) {
            EXPECT_EQ(e.instruction, instruction) << i;
            EXPECT_TRUE(seen.insert(e.ssid).second) << "SSID twice in frame " << i;
            mes_board |= e.ssid == "S1" || e.ssid == "S4";
        }
        if (w.context == context(1)) EXPECT_EQ(seen, (std::set<std::string>{"S1"})) << i;
        if (w.context == context(all_boards)) EXPECT_TRUE(seen.count("S1")) << i;
        if (w.context == context(silent_first)) EXPECT_TRUE(seen.empty()) << i;
        for (const std::string& s : seen) EXPECT_TRUE(s.size() == 2 && s[0] == 'S') << s;
        // Only this thread writes, so a frame's trigger byte is its own.
        EXPECT_EQ(f.trigger, (w.command[0] == 1 && mes_board) ? 1 : 0) << i;
    }
}

}  // namespace
