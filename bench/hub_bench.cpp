// Hub mode end to end: the simulated hub streams chunks of 8 boards (mixed
// families) over [::1]:5005 as fast as the socket takes them, while
// corvel_read_thread decodes them into a callback that counts rows.
// Uses port 5005: run it alone.
#include <benchmark/benchmark.h>

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

std::atomic<std::uint64_t> rows{0};
void count_row(void*, const double*, size_t) { rows.fetch_add(1, std::memory_order_relaxed); }

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

const char* const ssids[8] = {"B0", "B1", "B2", "B3", "B4", "B5", "B6", "B7"};
const COMM_TYPE families[8] = {MES_4, MES_4, MES_5, MES_2, IMP_3, WUA2, MES_4, MES_5};

// 512 rounds of one chunk per board with rising packet numbers; the repeat
// that follows reads as a counter restart, so nothing is filled or dropped.
Bytes make_batch() {
    Bytes batch;
    for (std::uint32_t round = 0; round < 512; ++round)
        for (int b = 0; b < 8; ++b) {
            const Bytes chunk = hub_chunk(ssids[b], packet_of(families[b], 1 + 2 * round));
            batch.insert(batch.end(), chunk.begin(), chunk.end());
        }
    return batch;
}

void hub_end_to_end(benchmark::State& state) {
    const std::uint64_t batches = static_cast<std::uint64_t>(state.range(0));
    const std::uint64_t chunks = batches * 512 * 8;
    FakeHub hub;
    hub.set_lifetime_limit(0ms);
    hub.start();
    set_board_json(default_descriptor_json().c_str());
    corvel_set_pcallback(&count_row);
    int contexts[8];
    for (int b = 0; b < 8; ++b) corvel_set_board(&contexts[b], ssids[b]);
    if (corvel_open_connection("::1", nullptr) != 0) {
        state.SkipWithError("no connection to the simulated hub");
        return;
    }
    std::thread reader([] { corvel_read_thread(); });
    hub.prime();  // the loop throws its first receive away
    hub.wait_sent(2s);
    std::this_thread::sleep_for(200ms);

    const Bytes batch = make_batch();
    const long rss_before = resident_kib();
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        hub.stream([&](std::uint64_t) { return batch; }, batches);
        while (rows.load() < 2 * chunks && std::chrono::steady_clock::now() - start < 600s)
            std::this_thread::sleep_for(1ms);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    const long rss_after = resident_kib();
    corvel_release();
    reader.join();
    hub.stop();
    if (rows.load() != 2 * chunks) state.SkipWithError("rows were lost");
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(rows.load()), benchmark::Counter::kIsRate);
    state.counters["chunks"] = static_cast<double>(chunks);
    state.counters["rss_growth_KiB"] = static_cast<double>(rss_after - rss_before);
}

// 2442 batches = 10,002,432 chunks.
BENCHMARK(hub_end_to_end)->Arg(2442)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
