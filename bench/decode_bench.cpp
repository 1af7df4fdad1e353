// Single-board decoding throughput per family, through the public export
// with the default 33-column descriptor and a callback that reads the row.
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

void decode_family(benchmark::State& state, COMM_TYPE family) {
    set_board_json(default_descriptor_json().c_str());
    release();
    // Consecutive packet numbers; the wrap back to the start reads as a
    // counter restart, so nothing is filled or dropped.
    std::vector<Bytes> packets;
    for (std::uint32_t i = 0; i < 1024; ++i) packets.push_back(packet_of(family, 1 + 2 * i));
    Reader reader;
    std::size_t i = 0;
    for (auto _ : state) {
        const Bytes& p = packets[i++ & 1023];
        benchmark::DoNotOptimize(interpret_data_fn(p.data(), p.size(), &Reader::on_row, &reader));
    }
    benchmark::DoNotOptimize(reader.sum);
    if (reader.rows != 2 * static_cast<std::size_t>(state.iterations()))
        state.SkipWithError("rows were lost or filled");
    state.counters["rows/s"] = benchmark::Counter(static_cast<double>(reader.rows), benchmark::Counter::kIsRate);
    release();
}

BENCHMARK_CAPTURE(decode_family, WUA2, WUA2);
BENCHMARK_CAPTURE(decode_family, MES_2, MES_2);
BENCHMARK_CAPTURE(decode_family, IMP_3, IMP_3);
BENCHMARK_CAPTURE(decode_family, MES_4, MES_4);
BENCHMARK_CAPTURE(decode_family, MES_5, MES_5);

}  // namespace

BENCHMARK_MAIN();
