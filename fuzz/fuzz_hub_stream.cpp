// libFuzzer target: a hub byte stream, cut into receives where the input
// says (fuzz_framing.h), through the read loop's own code without a socket:
// the chunk framing (ChunkStream) and the loop's per-chunk handling
// (ChunkDispatcher: the SSID tables, the decoder factory, get_packets for
// the board's registered context and every all-boards context). The hub
// tables are emptied before every input.
//
// Oracles besides the sanitizers: the chunks that come out of the framing
// are exactly those of the whole stream parsed in one piece, whatever the
// cuts; every result is one the loop knows; every row is whole and marked.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_framing.h"
#include "hub/chunk_dispatch.h"
#include "hub/chunk_stream.h"
#include "hub/hub.h"
#include "interface/library_state.h"
#include "interface/logging.h"
#include "packets/byte_order.h"
#include "packets/packet_base.h"

#include <spdlog/sinks/null_sink.h>

namespace {

using palvex::ChunkStream;

[[noreturn]] void fail(const char* what, long long value) {
    std::fprintf(stderr, "fuzz_hub_stream: %s (%lld)\n", what, value);
    std::abort();
}

int contexts[8];  // host contexts are only tags: 0-3 per board, 4-7 for all boards
volatile double sink_value;

void on_row(void* context, const double* row, size_t count) {
    bool known = false;
    for (int& c : contexts) known |= context == &c;
    if (!known) fail("row delivered with a context nobody registered", 0);
    if (count < 30 || count > PALVEX_MAX_ROW_LENGTH) fail("row length", static_cast<long long>(count));
    if (row[29] != 1.0) fail("row without its valid mark", 0);
    // Both ends must be readable: the row is one block of `count` doubles.
    sink_value = row[0] + row[count - 1];
}

struct Expected {
    bool corrupted;
    std::string ssid;
    std::int32_t length;
    std::size_t payload_at;  // offset in the stream
};

// The stream parsed in one piece: what any cutting must give.
std::vector<Expected> parse_whole(const std::uint8_t* s, std::size_t n) {
    std::vector<Expected> out;
    std::size_t at = 0;
    while (n - at >= ChunkStream::header_size) {
        std::size_t len = 0;
        while (len < ChunkStream::ssid_size && s[at + len] != 0) ++len;
        const std::int32_t length = palvex::read_le32_signed(s + at + 6);
        const bool corrupted = length < 0 || static_cast<std::size_t>(length) > ChunkStream::max_payload;
        if (!corrupted && n - at - ChunkStream::header_size < static_cast<std::size_t>(length)) break;
        out.push_back({corrupted, std::string(reinterpret_cast<const char*>(s + at), len), length,
                       at + ChunkStream::header_size});
        at += ChunkStream::header_size + (corrupted ? 0 : static_cast<std::size_t>(length));
    }
    return out;
}

// Registrations chosen by the input: boards of even SSID length (or all,
// with bit 2) get a context of their own, and bits 3-4 say how many
// contexts take all boards.
void register_contexts(unsigned config, const std::vector<Expected>& chunks) {
    palvex::reset_hub_tables();
    const bool register_all = config & 4;
    for (const Expected& e : chunks)
        if (register_all || e.ssid.size() % 2 == 0) palvex::set_board(&contexts[e.ssid.size() % 4], e.ssid.c_str());
    for (unsigned i = 0; i < ((config >> 3) & 3); ++i) palvex::set_board(&contexts[4 + i], "");
}

ChunkStream* stream;  // 500 kB: made once

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static auto quiet = std::make_shared<spdlog::logger>("fuzz", std::make_shared<spdlog::sinks::null_sink_mt>());
    palvex::bind_logger(quiet.get());
    stream = new ChunkStream;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    palvex_fuzz::Reader in(data, size);
    const std::uint8_t config = in.u8();
    std::vector<std::size_t> pieces(in.u8());
    for (std::size_t& p : pieces) p = std::max<std::size_t>(1, in.u16());
    std::size_t rest = in.left();
    const std::uint8_t* bytes = in.take(rest);
    pieces.push_back(rest);

    const auto& descriptors = palvex_fuzz::builtin_descriptors();
    palvex::set_descriptor_text(descriptors[config % descriptors.size()].c_str());
    const std::vector<Expected> expected = parse_whole(bytes, rest);
    std::size_t seen = 0;

    register_contexts(config, expected);
    palvex::ChunkDispatcher dispatcher(&on_row);
    stream->clear();
    std::size_t at = 0;
    for (const std::size_t piece : pieces) {
        std::size_t end = std::min(rest, at + piece);
        while (at < end) {
            const std::size_t n = std::min(end - at, stream->receive_room());
            if (n == 0) fail("no room for the rest of a chunk", static_cast<long long>(stream->pending()));
            std::memcpy(stream->receive_area(), bytes + at, n);
            stream->received(n);
            at += n;
            ChunkStream::Chunk c{};
            while (stream->next(c)) {
                if (seen == expected.size()) fail("a chunk the whole stream does not hold", static_cast<long long>(seen));
                const Expected& e = expected[seen++];
                if (c.corrupted != e.corrupted || c.ssid != e.ssid || c.length != e.length ||
                    (!c.corrupted && std::memcmp(c.payload, bytes + e.payload_at, static_cast<std::size_t>(c.length)) != 0))
                    fail("chunk differs from the whole stream's", static_cast<long long>(seen - 1));
                if (!dispatcher.dispatch(c)) return 0;  // an interpretation error ends the loop
            }
        }
    }
    if (seen != expected.size()) fail("chunks left in the framing", static_cast<long long>(expected.size() - seen));
    return 0;
}
