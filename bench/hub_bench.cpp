// Hub mode end to end, against a hub that behaves like one: the simulated
// hub streams chunks of 8 boards (mixed families) over [::1]:5005 as fast as
// the socket takes them, from its greeting on, with every write cut at
// random places; the read loop starts on a stream that is already flowing,
// and decodes into a callback that checks each board's numbering.
// Uses port 5005: run it alone.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "fake_hub.h"
#include "packet_builder.h"
#include "palvex/palvex.h"

using namespace palvex_test;
using namespace std::chrono_literals;

namespace {

constexpr int boards = 8;
constexpr std::uint32_t rounds = 512;  // chunks per board in one batch

// Written by the read loop's thread only; read after it has returned.
struct BoardTally {
    std::uint64_t rows = 0;
    std::uint64_t breaks = 0;  // a row that does not follow the one before: a chunk lost mid-stream
    double last = 0;
};
std::array<BoardTally, boards> tallies;
std::atomic<std::uint64_t> rows{0};

void count_row(void* context, const double* row, size_t) {
    BoardTally& t = *static_cast<BoardTally*>(context);
    const double n = row[26];
    // Each batch repeats numbers 1 .. 2 * rounds: that wrap is no break.
    if (t.rows != 0 && n != t.last + 1 && !(n == 1 && t.last == 2 * rounds)) ++t.breaks;
    t.last = n;
    ++t.rows;
    rows.fetch_add(1, std::memory_order_relaxed);
}

long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    }
    return 0;
}

const char* const ssids[boards] = {"B0", "B1", "B2", "B3", "B4", "B5", "B6", "B7"};
const COMM_TYPE families[boards] = {MES_4, MES_4, MES_5, MES_2, IMP_3, WUA2, MES_4, MES_5};

// 512 rounds of one chunk per board with rising packet numbers; the repeat
// that follows reads as a counter restart, so nothing is filled or dropped.
Bytes make_batch() {
    Bytes batch;
    for (std::uint32_t round = 0; round < rounds; ++round)
        for (int b = 0; b < boards; ++b) {
            const Bytes chunk = hub_chunk(ssids[b], packet_of(families[b], 1 + 2 * round));
            batch.insert(batch.end(), chunk.begin(), chunk.end());
        }
    return batch;
}

void hub_end_to_end(benchmark::State& state) {
    const std::uint64_t batches = static_cast<std::uint64_t>(state.range(0));
    const std::uint64_t chunks = batches * rounds * boards;
    const Bytes batch = make_batch();
    FakeHub hub;
    hub.set_lifetime_limit(0ms);
    hub.set_stream_jitter(1, 0ms);
    // Queued before the host connects: it flows from the greeting on.
    hub.stream([&](std::uint64_t) { return batch; }, batches);
    hub.start();
    set_board_json(default_descriptor_json().c_str());
    corvel_set_pcallback(&count_row);
    for (int b = 0; b < boards; ++b) corvel_set_board(&tallies[b], ssids[b]);
    const auto start = std::chrono::steady_clock::now();
    if (corvel_open_connection("::1", nullptr) != 0) {
        state.SkipWithError("no connection to the simulated hub");
        return;
    }
    std::thread reader([] { corvel_read_thread(); });

    const long rss_before = resident_kib();
    for (auto _ : state) {
        // Done when the hub has written everything and the rows stop coming.
        hub.wait_sent(600s);
        std::uint64_t seen = 0;
        auto last_change = std::chrono::steady_clock::now();
        while (std::chrono::steady_clock::now() - last_change < 200ms) {
            std::this_thread::sleep_for(1ms);
            if (rows.load() != seen) {
                seen = rows.load();
                last_change = std::chrono::steady_clock::now();
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(last_change - start).count());
    }
    const long rss_after = resident_kib();
    corvel_release();
    reader.join();
    hub.stop();
    std::uint64_t breaks = 0;
    for (const BoardTally& t : tallies) breaks += t.breaks;
    if (breaks != 0) state.SkipWithError("rows were lost after the first chunk of a board");
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows.load()), benchmark::Counter::kIsRate);
    state.counters["chunks"] = static_cast<double>(chunks);
    // All of them in the loop's first, thrown-away receive and the chunk it cut.
    state.counters["rows_lost_at_start"] = static_cast<double>(2 * chunks - rows.load());
    state.counters["breaks"] = static_cast<double>(breaks);
    state.counters["rss_growth_KiB"] = static_cast<double>(rss_after - rss_before);
}

// 2442 batches = 10,002,432 chunks.
BENCHMARK(hub_end_to_end)->Arg(2442)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
