// Soak of a hub that keeps dropping the connection: eight boards streaming
// for over a minute while the simulated hub drops the session every few
// seconds (closes or resets it, sometimes refusing connections for a
// while). After every reconnection every row of every board must be there,
// decoded or filled in, once; descriptors and memory must stay flat.
//
// Label "soak", like the long soak beside it:
//   cmake --preset soak && cmake --build --preset soak && ctest --preset soak
// PALVEX_SOAK_SECONDS sets how long the hub keeps dropping (default 70).
#include <array>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <set>

#include "soak.h"

using namespace palvex_test;

namespace {

constexpr int boards = 8;
const char* const ssids[boards] = {"D0", "D1", "D2", "D3", "D4", "D5", "D6", "D7"};
const COMM_TYPE kinds[boards] = {MES_4, MES_4, MES_4, MES_5, MES_5, MES_2, IMP_3, WUA2};
constexpr std::uint64_t packets_per_batch = 50;  // per board

std::array<RowCount, boards> stats;
std::atomic<bool> malformed{false};

void on_row(void* ctx, const double* row, size_t count) {
    const int b = soak_board(ctx, row, count, boards);
    if (b < 0) malformed = true;
    else stats[static_cast<std::size_t>(b)].add(row);
}

class SoakReconnect : public HubTest {
protected:
    data_callback_fn row_callback() const override { return &on_row; }
    std::chrono::milliseconds hub_lifetime() const override { return std::chrono::milliseconds(0); }
};

TEST_F(SoakReconnect, EightBoardsThroughDropsEveryFewSecondsEveryRowAccounted) {
    const char* env = std::getenv("PALVEX_SOAK_SECONDS");
    const auto duration = std::chrono::seconds(env ? std::strtoul(env, nullptr, 10) : 70);
    for (int b = 0; b < boards; ++b) ASSERT_EQ(corvel_set_board(context(b), ssids[b]), 0);
    start_reading();
    hub.set_stream_jitter(11, std::chrono::milliseconds(0));
    hub.stream([](std::uint64_t index) {
        Bytes out;
        for (std::uint64_t j = 0; j < packets_per_batch; ++j) {
            const auto n = static_cast<std::uint32_t>(1 + 2 * (index * packets_per_batch + j));
            for (int b = 0; b < boards; ++b) {
                const Bytes c = hub_chunk(ssids[b], packet_of(kinds[b], n));
                out.insert(out.end(), c.begin(), c.end());
            }
        }
        return out;
    }, ~std::uint64_t{0});

    std::this_thread::sleep_for(1s);
    const std::uint64_t rss_warm = resident_kib();
    const std::size_t fds_warm = open_descriptors();
    std::uint64_t rss_max = rss_warm;
    std::size_t fds_max = fds_warm;
    std::uint32_t drops = 0;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < duration) {
        std::this_thread::sleep_for(3s);
        ++drops;
        const bool outage = drops % 3 == 0;
        if (outage) hub.stop_listening();
        ASSERT_TRUE(hub.drop_session(drops % 2 == 0));
        if (outage) {
            std::this_thread::sleep_for(700ms);
            hub.listen_again();
        }
        // Connected again before the next drop.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        std::uint32_t reconnections = 0;
        while ((corvel_get_connection_state(nullptr, &reconnections), reconnections) < drops) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no reconnection after drop " << drops;
            std::this_thread::sleep_for(5ms);
        }
        rss_max = std::max(rss_max, resident_kib());
        fds_max = std::max(fds_max, open_descriptors());
    }
    hub.stop_stream();
    corvel_release();
    ASSERT_TRUE(reader.wait_returned(3s));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    EXPECT_FALSE(malformed);
    std::uint64_t decoded = 0, filled = 0;
    for (int b = 0; b < boards; ++b) {
        const RowCount& s = stats[b];
        EXPECT_EQ(s.out_of_order, 0u) << ssids[b];
        EXPECT_EQ(static_cast<double>(s.decoded + s.filled), s.last - s.first + 1) << ssids[b];
        EXPECT_GT(s.filled, 0u) << ssids[b] << ": the drops cost nothing?";
        decoded += s.decoded;
        filled += s.filled;
    }
    char** list = nullptr;
    int count = 0;
    corvel_get_list_of_ssids(&list, &count);
    std::set<std::string> unique(list, list + count);
    corvel_free_ssid_list(list, count);
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(count)) << "an SSID listed twice";
    EXPECT_EQ(count, boards + 1);  // and the lead board
    EXPECT_EQ(log.count("warning|Corvel connection lost; reconnecting ..."), drops);
    EXPECT_LE(fds_max, fds_warm + 4) << "descriptors leak across reconnections";
    EXPECT_LT(rss_max - rss_warm, 8u * 1024) << "resident memory grew from " << rss_warm << " KiB to " << rss_max;

    std::printf("soak with drops: %u drops in %.1f s; %llu rows decoded, %llu filled (%.3f %%); "
                "descriptors warm %zu, max %zu; VmRSS warm %llu KiB, max %llu KiB\n",
                drops, seconds, static_cast<unsigned long long>(decoded), static_cast<unsigned long long>(filled),
                100.0 * static_cast<double>(filled) / static_cast<double>(decoded + filled), fds_warm, fds_max,
                static_cast<unsigned long long>(rss_warm), static_cast<unsigned long long>(rss_max));
}

}  // namespace
