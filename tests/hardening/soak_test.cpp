// Soak: tens of millions of chunks of four boards through the whole hub path
// (simulated hub -> TCP -> corvel_read_thread -> decoders -> callback), with
// packet losses injected. Every row must be accounted for and the process's
// resident memory must stay flat.
//
// Not part of the default test run (CTest label "soak"). Run it with
//   cmake --preset soak && cmake --build --preset soak && ctest --preset soak
// PALVEX_SOAK_CHUNKS sets the number of chunks (default 50 million).
#include <array>
#include <atomic>
#include <cstdlib>
#include <fstream>

#include "soak.h"

using namespace palvex_test;

namespace {

constexpr int boards = 4;
const char* const ssids[boards] = {"SOAK0", "SOAK1", "SOAK2", "SOAK3"};
const COMM_TYPE kinds[boards] = {MES_4, IMP_3, MES_2, MES_5};
constexpr std::uint32_t first_number = 1000;
constexpr std::uint64_t packets_per_batch = 250;  // per board: 1000 chunks a batch

// Losses: board b skips 1 to 5 packets at every packet index p with
// p % 1009 == 500 + b.
constexpr std::uint64_t gap_period = 1009;
std::uint32_t skipped_before(int board, std::uint64_t p) {
    if (p % gap_period != 500 + static_cast<std::uint64_t>(board)) return 0;
    return 1 + static_cast<std::uint32_t>((p / gap_period) % 5);
}

struct Board : RowCount {
    std::atomic<double> newest{-1};  // progress, read while streaming
};
std::array<Board, boards> board_stats;
std::atomic<bool> malformed{false};

void on_row(void* ctx, const double* row, size_t count) {
    const int b = soak_board(ctx, row, count, boards);
    if (b < 0) {
        malformed = true;
        return;
    }
    Board& s = board_stats[static_cast<std::size_t>(b)];
    s.add(row);
    s.newest.store(s.last, std::memory_order_relaxed);
}

struct Feed {
    std::array<std::uint32_t, boards> next{};
    std::array<MesPacket, boards> mes{};
    Imp3Packet imp{};
};

class Soak : public HubTest {
protected:
    data_callback_fn row_callback() const override { return &on_row; }
    std::chrono::milliseconds hub_lifetime() const override { return std::chrono::milliseconds(0); }
};

TEST_F(Soak, FiftyMillionChunksWithLossesAllRowsAccountedMemoryFlat) {
    const char* env = std::getenv("PALVEX_SOAK_CHUNKS");
    const std::uint64_t chunks = env ? std::strtoull(env, nullptr, 10) : 50000000ull;
    const std::uint64_t batches = std::max<std::uint64_t>(1, chunks / (boards * packets_per_batch));
    const std::uint64_t packets = batches * packets_per_batch;

    // What the boards send, and what the host must see, per board.
    std::array<std::uint64_t, boards> gaps{}, skipped{};
    for (int b = 0; b < boards; ++b)
        for (std::uint64_t p = 0; p < packets; ++p)
            if (const std::uint32_t k = skipped_before(b, p)) ++gaps[b], skipped[b] += k;

    auto feed = std::make_shared<Feed>();
    for (int b = 0; b < boards; ++b) {
        feed->next[b] = first_number;
        feed->mes[b].type = kinds[b];
        for (int s = 0; s < 2; ++s)
            for (int i = 0; i < 8; ++i) feed->mes[b].sample[s].exg[i] = 1000 * (b + 1) + 100 * s - 7 * i;
        feed->mes[b].battery = 80;
        feed->mes[b].accel = {1, 2, 3};
    }
    for (int s = 0; s < 2; ++s)
        for (int i = 0; i < 10; ++i) feed->imp.resistance[s][i] = 4000 + 10 * i + s;
    auto make_batch = [feed](std::uint64_t index) {
        Bytes out;
        out.reserve(packets_per_batch * boards * 101);
        for (std::uint64_t j = 0; j < packets_per_batch; ++j) {
            const std::uint64_t p = index * packets_per_batch + j;
            for (int b = 0; b < boards; ++b) {
                std::uint32_t& n = feed->next[b];
                n += 2 * skipped_before(b, p);
                Bytes packet;
                if (kinds[b] == IMP_3) {
                    feed->imp.package_num = {n, n + 1};
                    packet = build(feed->imp);
                } else {
                    feed->mes[b].sample[0].package_num = n;
                    feed->mes[b].sample[1].package_num = n + 1;
                    packet = build(feed->mes[b]);
                }
                const Bytes c = hub_chunk(ssids[b], packet);
                out.insert(out.end(), c.begin(), c.end());
                n += 2;
            }
        }
        return out;
    };

    for (int b = 0; b < boards; ++b) ASSERT_EQ(corvel_set_board(context(b), ssids[b]), 0);
    // Every row is accounted for from the first packet on, so the soak's own
    // stream starts once the loop is in step; its writes are cut anywhere.
    start_reading();
    hub.set_stream_jitter(7, std::chrono::milliseconds(0));

    const auto start = std::chrono::steady_clock::now();
    hub.stream(make_batch, batches);
    std::array<double, boards> final_number{};
    for (int b = 0; b < boards; ++b) final_number[b] = first_number + 2.0 * (packets - 1 + skipped[b]) + 1;
    auto done = [&] {
        for (int b = 0; b < boards; ++b)
            if (board_stats[b].newest.load(std::memory_order_relaxed) < final_number[b]) return false;
        return true;
    };
    // Memory is measured once the stream is in full flow, then every second.
    std::uint64_t rss_warm = 0, rss_max = 0;
    const auto limit = start + std::chrono::minutes(30);
    for (int tick = 1; !done() && std::chrono::steady_clock::now() < limit && !reader.wait_returned(0ms); ++tick) {
        std::this_thread::sleep_for(100ms);
        if (tick % 10 != 0) continue;
        const std::uint64_t rss = resident_kib();
        if (rss_warm == 0 && hub.batches_streamed() >= batches / 20) rss_warm = rss;
        rss_max = std::max(rss_max, rss);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_TRUE(done()) << "not every row arrived after " << seconds << " s";
    corvel_release();
    ASSERT_TRUE(reader.wait_returned(3s));
    const std::uint64_t rss_end = resident_kib();
    if (rss_warm == 0) rss_warm = rss_end;  // a short run

    EXPECT_FALSE(malformed);
    std::uint64_t rows = 0;
    for (int b = 0; b < boards; ++b) {
        const Board& s = board_stats[b];
        // Every packet sent decoded; 2k fillers for the k packets of each gap.
        EXPECT_EQ(s.decoded, 2 * packets) << ssids[b];
        EXPECT_EQ(s.filled, 2 * skipped[b]) << ssids[b];
        EXPECT_EQ(s.out_of_order, 0u) << ssids[b];
        EXPECT_EQ(s.last, final_number[b]) << ssids[b];
        rows += s.decoded + s.filled;
    }
    EXPECT_EQ(log.count("warning|"), 0u);
    EXPECT_EQ(log.count("error|"), 0u);
    // Flat: nothing grows with the number of chunks.
    EXPECT_LT(rss_max - rss_warm, 8u * 1024) << "resident memory grew from " << rss_warm << " KiB to " << rss_max;

    const std::uint64_t sent = batches * packets_per_batch * boards;
    std::printf("soak: %llu chunks (%llu bytes) in %.1f s = %.0f chunks/s; %llu rows (%llu gaps per board); "
                "VmRSS warm %llu KiB, max %llu KiB, end %llu KiB\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(hub.bytes_sent()), seconds,
                sent / seconds, static_cast<unsigned long long>(rows), static_cast<unsigned long long>(gaps[0]),
                static_cast<unsigned long long>(rss_warm), static_cast<unsigned long long>(rss_max),
                static_cast<unsigned long long>(rss_end));
    RecordProperty("chunks", std::to_string(sent));
    RecordProperty("seconds", std::to_string(seconds));
    RecordProperty("rss_growth_kib", std::to_string(rss_max - rss_warm));
}

}  // namespace
