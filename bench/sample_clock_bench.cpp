// The sample clock's cost on a steady stream: 250 samples/s with a crystal
// 300 ppm fast, packets of two samples arriving 0 to 15 ms late. Per buffer
// (a noted arrival: its bucket and, when that moved, the fit and the output
// plan) and per row (the time of one number). A unit of the library ahead of
// its export, so this links the library's units directly.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <random>

#include "packets/sample_clock.h"

using palvex::SampleClock;

namespace {

constexpr double period = 1.0 / (250.0 * (1 + 300e-6));
constexpr double start = 1.8e9;

// A board's stream into one clock, delays drawn beforehand so that the timed
// loops hold nothing but the clock. Starts with 20 s seen: a full window.
struct Stream {
    SampleClock clock{250.0};
    std::array<double, 4096> delays{};
    std::int64_t last = 0;

    Stream() {
        std::mt19937_64 random(1);
        std::uniform_real_distribution<double> delay(0.0, 0.015);
        for (double& d : delays) d = delay(random);
        while (static_cast<double>(last) * period < 20.0) next();
    }
    void next() {
        last += 2;
        const double sampled = start + static_cast<double>(last) * period;
        clock.arrival(last, sampled + delays[static_cast<std::size_t>(last) % delays.size()]);
    }
};

void per_second(benchmark::State& state, const char* name, const double count) {
    state.counters[name] = benchmark::Counter(count, benchmark::Counter::kIsRate);
}

void per_buffer(benchmark::State& state) {
    Stream stream;
    for (auto _ : state) stream.next();
    benchmark::DoNotOptimize(stream.clock.time_of(stream.last));
    per_second(state, "buffers/s", static_cast<double>(state.iterations()));
}
BENCHMARK(per_buffer);

void per_row(benchmark::State& state) {
    Stream stream;
    std::int64_t n = stream.last - 64;
    double sum = 0.0;
    for (auto _ : state) {
        sum += stream.clock.time_of(n);
        n = n == stream.last ? stream.last - 64 : n + 1;
    }
    benchmark::DoNotOptimize(sum);
    per_second(state, "rows/s", static_cast<double>(state.iterations()));
}
BENCHMARK(per_row);

// What the decoder will do per buffer: note it, then time its two rows.
void per_packet_of_two_rows(benchmark::State& state) {
    Stream stream;
    double sum = 0.0;
    for (auto _ : state) {
        stream.next();
        sum += stream.clock.time_of(stream.last - 1) + stream.clock.time_of(stream.last);
    }
    benchmark::DoNotOptimize(sum);
    per_second(state, "rows/s", 2.0 * static_cast<double>(state.iterations()));
}
BENCHMARK(per_packet_of_two_rows);

}  // namespace

BENCHMARK_MAIN();
