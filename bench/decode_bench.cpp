// Single-board decoding throughput per family, through the public export
// with the default 33-column descriptor and a callback that reads the row:
// a stream without losses, and one that loses every other packet (each
// packet that arrives then comes with two filler rows).
#include <benchmark/benchmark.h>

#include <vector>

#include "packet_builder.h"
#include "palvex/palvex.h"

using namespace palvex_test;

namespace {

struct Reader {
    double sum = 0;
    std::size_t rows = 0;
    static void on_row(void* context, const double* row, size_t count) {
        auto* self = static_cast<Reader*>(context);
        self->sum += row[0] + row[count - 1];
        ++self->rows;
    }
};

void decode(benchmark::State& state, COMM_TYPE family, bool every_other_lost) {
    set_board_json(default_descriptor_json().c_str());
    release();
    // Consecutive packet numbers (or every other packet's); the wrap back to
    // the start reads as a counter restart, so nothing is filled there.
    const std::uint32_t step = every_other_lost ? 4 : 2;
    std::vector<Bytes> packets;
    for (std::uint32_t i = 0; i < 1024; ++i) packets.push_back(packet_of(family, 1 + step * i));
    Reader reader;
    std::size_t i = 0;
    for (auto _ : state) {
        const Bytes& p = packets[i++ & 1023];
        benchmark::DoNotOptimize(interpret_data_fn(p.data(), p.size(), &Reader::on_row, &reader));
    }
    benchmark::DoNotOptimize(reader.sum);
    const std::size_t packets_seen = static_cast<std::size_t>(state.iterations());
    const std::size_t restarts = (packets_seen - 1) / 1024;  // no fillers before a restart
    const std::size_t expected = every_other_lost ? 4 * packets_seen - 2 - 2 * restarts : 2 * packets_seen;
    if (reader.rows != expected) state.SkipWithError("rows were lost, or filled where nothing was missing");
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(reader.rows), benchmark::Counter::kIsRate);
    release();
}

void decode_family(benchmark::State& state, COMM_TYPE family) { decode(state, family, false); }
void decode_every_other_lost(benchmark::State& state, COMM_TYPE family) { decode(state, family, true); }

BENCHMARK_CAPTURE(decode_family, WUA2, WUA2);
BENCHMARK_CAPTURE(decode_family, MES_2, MES_2);
BENCHMARK_CAPTURE(decode_family, IMP_3, IMP_3);
BENCHMARK_CAPTURE(decode_family, MES_4, MES_4);
BENCHMARK_CAPTURE(decode_family, MES_5, MES_5);
BENCHMARK_CAPTURE(decode_every_other_lost, WUA2, WUA2);
BENCHMARK_CAPTURE(decode_every_other_lost, MES_4, MES_4);
BENCHMARK_CAPTURE(decode_every_other_lost, IMP_3, IMP_3);

}  // namespace

BENCHMARK_MAIN();
