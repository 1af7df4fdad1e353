// The row buffer's speed: appending through the data callback (alone, and
// while another thread drains), taking and peeking in blocks, and the
// decoder delivering straight into a buffer.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "packet_builder.h"
#include "palvex/palvex.h"
#include "palvex/rows.h"

using namespace palvex_test;

namespace {

constexpr std::size_t width = default_row_length;  // the default descriptor's row

std::vector<double> some_row() {
    std::vector<double> row(width);
    for (std::size_t c = 0; c < width; ++c) row[c] = 0.5 * static_cast<double>(c);
    return row;
}

void rows_rate(benchmark::State& state, double rows) {
    state.counters["rows/s"] = benchmark::Counter(rows, benchmark::Counter::kIsRate);
}

// Steady state of a host that never takes: every append overwrites.
void append(benchmark::State& state) {
    palvex_rows* buffer = palvex_rows_create(width, 4096);
    const std::vector<double> row = some_row();
    for (auto _ : state) palvex_rows_callback(buffer, row.data(), row.size());
    rows_rate(state, static_cast<double>(state.iterations()));
    palvex_rows_destroy(buffer);
}
BENCHMARK(append);

// The hub read loop appending while a host thread takes blocks of 1024 as
// fast as it can: the lock is contended.
void append_while_draining(benchmark::State& state) {
    palvex_rows* buffer = palvex_rows_create(width, 4096);
    const std::vector<double> row = some_row();
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> taken{0};
    std::thread drainer([&] {
        std::vector<double> out(1024 * width);
        while (!stop) taken += palvex_rows_take(buffer, out.data(), 1024);
    });
    for (auto _ : state) palvex_rows_callback(buffer, row.data(), row.size());
    stop = true;
    drainer.join();
    rows_rate(state, static_cast<double>(state.iterations()));
    state.counters["taken share"] = static_cast<double>(taken) / static_cast<double>(state.iterations());
    palvex_rows_destroy(buffer);
}
BENCHMARK(append_while_draining)->UseRealTime();

// One take of a block of range(0) rows; only the take is timed.
void take_block(benchmark::State& state) {
    const auto block = static_cast<std::size_t>(state.range(0));
    palvex_rows* buffer = palvex_rows_create(width, block);
    const std::vector<double> row = some_row();
    std::vector<double> out(block * width);
    for (auto _ : state) {
        for (std::size_t i = 0; i < block; ++i) palvex_rows_callback(buffer, row.data(), row.size());
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(palvex_rows_take(buffer, out.data(), block));
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    rows_rate(state, static_cast<double>(state.iterations() * block));
    palvex_rows_destroy(buffer);
}
BENCHMARK(take_block)->UseManualTime()->Arg(1)->Arg(64)->Arg(1024)->Arg(16384);

// A live plot's read: the newest range(0) rows of a full buffer.
void peek_newest(benchmark::State& state) {
    const auto block = static_cast<std::size_t>(state.range(0));
    palvex_rows* buffer = palvex_rows_create(width, 16384);
    const std::vector<double> row = some_row();
    for (int i = 0; i < 16384 + 100; ++i) palvex_rows_callback(buffer, row.data(), row.size());
    std::vector<double> out(block * width);
    for (auto _ : state) benchmark::DoNotOptimize(palvex_rows_peek_newest(buffer, out.data(), block));
    rows_rate(state, static_cast<double>(state.iterations() * block));
    palvex_rows_destroy(buffer);
}
BENCHMARK(peek_newest)->Arg(500)->Arg(16384);

// MES_4 packets decoded by interpret_data_fn straight into a buffer that a
// host drains every 512 packets; compare palvex_decode_bench's MES_4 line,
// which hands every row to a host callback instead.
void decode_into_buffer(benchmark::State& state) {
    set_board_json(default_descriptor_json().c_str());
    release();
    std::vector<Bytes> packets;
    for (std::uint32_t i = 0; i < 1024; ++i) packets.push_back(packet_of(MES_4, 1 + 2 * i));
    palvex_rows* buffer = palvex_rows_create(width, 4096);
    std::vector<double> out(4096 * width);
    std::size_t i = 0;
    std::uint64_t taken = 0;
    for (auto _ : state) {
        const Bytes& p = packets[i++ & 1023];
        interpret_data_fn(p.data(), p.size(), palvex_rows_callback, buffer);
        if ((i & 511) == 0) taken += palvex_rows_take(buffer, out.data(), 4096);
    }
    release();
    taken += palvex_rows_take(buffer, out.data(), 4096);
    if (palvex_rows_overwritten(buffer) != 0 || taken != 2 * static_cast<std::uint64_t>(state.iterations()))
        state.SkipWithError("rows were lost or filled");
    rows_rate(state, static_cast<double>(taken));
    palvex_rows_destroy(buffer);
}
BENCHMARK(decode_into_buffer);

}  // namespace

BENCHMARK_MAIN();
