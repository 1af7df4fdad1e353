// libFuzzer target: a hub byte stream, cut into receives where the input
// says (fuzz_framing.h), through the read loop's own code without a socket:
// the chunk framing (ChunkStream) and the loop's per-chunk handling
// (ChunkDispatcher: the SSID tables, the decoder factory, one decoding per
// chunk for every context that wants the board). Like the read loop after
// its first receive, the framing starts out of step: the first bytes may
// begin anywhere inside a chunk. The hub tables are emptied before every
// input.
//
// Oracles besides the sanitizers: every chunk that comes out is the stream's
// own bytes at the offset the framing gives for it; a chunk found after
// skipped bytes has a plausible header; a stream of well-formed chunks back
// to back comes out whole, whatever the cuts; once the input ends, every
// byte was taken, skipped or left as the chunk the end cut off; every row is
// whole and marked, and reaches only a context that was registered.
//
// The packets of each board are numbered in small steps from its previous
// one before they are dispatched (fuzz_framing.h).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <spdlog/sinks/null_sink.h>

#include "fuzz_framing.h"
#include "hub/chunk_dispatch.h"
#include "chunks/chunk_stream.h"
#include "hub/hub.h"
#include "hub/hub_state.h"
#include "ground/logging.h"
#include "packets/descriptor_store.h"
#include "packets/byte_order.h"
#include "packets/families.h"
#include "packets/packet_base.h"

namespace {

using palvex::ChunkStream;

// The target's own code, run for every row and at every byte of the stream:
// out of the coverage map (it is not the library's), so it costs what it
// costs a host.
#define PALVEX_FUZZ_HOST __attribute__((no_sanitize("coverage")))

[[noreturn]] void fail(const char* what, long long value) {
    std::fprintf(stderr, "fuzz_hub_stream: %s (%lld)\n", what, value);
    std::abort();
}

int contexts[8];  // host contexts are only tags: 0-3 per board, 4-7 for all boards
volatile double sink_value;

// Called for every row, fillers included.
PALVEX_FUZZ_HOST void on_row(void* context, const double* row, size_t count) {
    const auto* c = static_cast<const int*>(context);
    if (c < contexts || c >= contexts + 8) fail("row delivered with a context nobody registered", 0);
    if (count < 30 || count > PALVEX_MAX_ROW_LENGTH) fail("row length", static_cast<long long>(count));
    if (row[29] != 1.0) fail("row without its valid mark", 0);
    // Both ends must be readable: the row is one block of `count` doubles.
    sink_value = row[0] + row[count - 1];
}

struct Expected {
    std::string ssid;
    std::int32_t length;
};

// The target's own checks run at every byte of the stream: written from the
// wire format rather than from the library's framing they check.
PALVEX_FUZZ_HOST std::int32_t length_at(const std::uint8_t* header) {
    return static_cast<std::int32_t>(palvex_fuzz::read_u32(header + 6));
}

// What a header must look like for the framing to take it out of step: the
// length of a confirmation (5), of a WUA2 packet (216), or of the family its
// type word names (75 MES_2, 91 IMP_3, 77 MES_4, 81 MES_5).
PALVEX_FUZZ_HOST bool plausible(const std::uint8_t* header, std::size_t available) {
    if (available < ChunkStream::header_size) return false;
    const std::int32_t length = length_at(header);
    if (length == 5 || length == 216) return true;
    int family = 0;
    switch (length) {
        case 75: family = 2; break;
        case 91: family = 3; break;
        case 77: family = 4; break;
        case 81: family = 5; break;
        default: return false;
    }
    return available >= ChunkStream::header_size + 2 && header[ChunkStream::header_size] == family &&
           header[ChunkStream::header_size + 1] == 0;
}

PALVEX_FUZZ_HOST std::string ssid_at(const std::uint8_t* header) {
    std::size_t len = 0;
    while (len < ChunkStream::ssid_size && header[len] != 0) ++len;
    return std::string(reinterpret_cast<const char*>(header), len);
}

// The chunks of a stream made only of plausible chunks back to back, from
// its first byte to its last; empty when it is anything else.
PALVEX_FUZZ_HOST std::vector<Expected> well_formed(const std::uint8_t* s, std::size_t n) {
    std::vector<Expected> out;
    std::size_t at = 0;
    while (at < n) {
        if (!plausible(s + at, n - at)) return {};
        const std::size_t whole = ChunkStream::header_size + static_cast<std::size_t>(length_at(s + at));
        if (n - at < whole) return {};
        out.push_back({ssid_at(s + at), length_at(s + at)});
        at += whole;
    }
    return out;
}

// Registrations chosen by the input: boards of even SSID length (or all,
// with bit 2) get a context of their own, and bits 3-4 say how many
// contexts take all boards. SSIDs are taken from every position a chunk
// could start at, so the boards the framing finds have a chance to be wanted.
PALVEX_FUZZ_HOST void register_contexts(unsigned config, const std::uint8_t* s, std::size_t n) {
    palvex::corvel.reset();
    const bool register_all = config & 4;
    for (std::size_t at = 0; at + ChunkStream::header_size <= n && at < 4096; ++at) {
        if (!plausible(s + at, n - at)) continue;
        const std::string ssid = ssid_at(s + at);
        if (register_all || ssid.size() % 2 == 0) palvex::set_board(&contexts[ssid.size() % 4], ssid.c_str());
    }
    for (unsigned i = 0; i < ((config >> 3) & 3); ++i) palvex::set_board(&contexts[4 + i], "");
}

ChunkStream* stream;  // 500 kB: made once

// Each board's numbering, by SSID, for the input being run.
class Renumbering {
public:
    void reset() { boards_.clear(); }
    // The chunk to dispatch: `c` itself, or a copy of it with its packet
    // renumbered (the stream's bytes stay as the framing left them).
    const ChunkStream::Chunk& apply(const ChunkStream::Chunk& c) {
        std::array<std::size_t, 2> at{};
        const auto n = static_cast<std::size_t>(c.length);
        if (c.corrupted || !palvex_fuzz::packet_number_offsets(c.payload, n, at)) return c;
        copy_.assign(c.payload, c.payload + n);
        board(c.ssid).apply(copy_.data(), n, copy_[at[0]] & 31);
        renumbered_ = c;
        renumbered_.payload = copy_.data();
        return renumbered_;
    }

private:
    palvex_fuzz::Numbering& board(std::string_view ssid) {
        for (auto& b : boards_)
            if (b.first == ssid) return b.second;
        boards_.emplace_back(std::string(ssid), palvex_fuzz::Numbering{});
        return boards_.back().second;
    }

    std::vector<std::pair<std::string, palvex_fuzz::Numbering>> boards_;
    std::vector<unsigned char> copy_;
    ChunkStream::Chunk renumbered_{};
};
Renumbering renumbering;

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
    // Parsed only when it changes: decoders are made afresh for every input anyway.
    static std::size_t descriptor_in_use = descriptors.size();
    if (config % descriptors.size() != descriptor_in_use) {
        descriptor_in_use = config % descriptors.size();
        palvex::set_descriptor_text(descriptors[descriptor_in_use].c_str());
    }
    const std::vector<Expected> whole = well_formed(bytes, rest);
    std::size_t seen = 0;

    register_contexts(config, bytes, rest);
    renumbering.reset();
    palvex::ChunkDispatcher dispatcher(&on_row);
    stream->clear();
    stream->lose_step();
    std::size_t at = 0;     // bytes handed to the framing
    std::size_t taken = 0;  // bytes the framing has taken or skipped
    // After the last piece the input ends, as a capture file's does: what
    // the framing still holds is read out, and its tail accounts for the rest.
    pieces.push_back(0);
    for (const std::size_t& piece : pieces) {
        std::size_t end = std::min(rest, at + piece);
        const bool last = &piece == &pieces.back();
        if (last) stream->end_of_input();
        while (at < end || last) {
            const std::size_t n = std::min(end - at, stream->receive_room());
            if (n == 0 && !last) fail("no room for the rest of a chunk", static_cast<long long>(stream->pending()));
            if (n != 0) std::memcpy(stream->receive_area(), bytes + at, n);
            stream->received(n);
            at += n;
            ChunkStream::Chunk c{};
            while (stream->next(c)) {
                taken += c.skipped;
                if (c.offset != taken) fail("a chunk's offset is not where it was taken", static_cast<long long>(c.offset));
                if (taken + ChunkStream::header_size > at) fail("a header past the bytes received", static_cast<long long>(taken));
                const std::uint8_t* header = bytes + taken;
                if (c.ssid != ssid_at(header) || c.length != length_at(header))
                    fail("a chunk header that is not the stream's", static_cast<long long>(taken));
                if ((c.skipped != 0 || seen == 0) && !c.corrupted && !plausible(header, at - taken))
                    fail("out of step, an implausible header was taken", static_cast<long long>(taken));
                taken += ChunkStream::header_size;
                if (!c.corrupted) {
                    if (taken + static_cast<std::size_t>(c.length) > at) fail("a payload past the bytes received", c.length);
                    if (std::memcmp(c.payload, bytes + taken, static_cast<std::size_t>(c.length)) != 0)
                        fail("a payload that is not the stream's", static_cast<long long>(taken));
                    taken += static_cast<std::size_t>(c.length);
                }
                if (!whole.empty() && (c.skipped != 0 || c.corrupted || seen >= whole.size() ||
                                       c.ssid != whole[seen].ssid || c.length != whole[seen].length))
                    fail("a well-formed stream did not come out whole", static_cast<long long>(seen));
                ++seen;
                dispatcher.dispatch(renumbering.apply(c));
            }
            if (last) break;
        }
    }
    if (seen != whole.size() && !whole.empty())
        fail("chunks of a well-formed stream left in the framing", static_cast<long long>(whole.size() - seen));
    const ChunkStream::Tail& tail = stream->tail();
    if (taken + tail.skipped + tail.cut_size != rest)
        fail("bytes neither taken, skipped nor left as a cut chunk", static_cast<long long>(rest - taken));
    if (tail.cut_size != 0 && tail.cut_offset != taken + tail.skipped)
        fail("a cut chunk that is not where the bytes ran out", static_cast<long long>(tail.cut_offset));
    if (!whole.empty() && (tail.skipped != 0 || tail.cut_size != 0))
        fail("a well-formed stream left a tail", static_cast<long long>(tail.skipped));
    return 0;
}
