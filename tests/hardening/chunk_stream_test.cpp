// The chunk framing under hostile streams: corrupted lengths, empty and
// full-width SSIDs, the largest payload a receive can hold, and every way
// TCP can cut the stream. Whatever the cuts, the chunks that come out are
// the ones the hub sent, and nothing is read past the bytes received.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "hub/chunk_stream.h"
#include "packet_builder.h"

using namespace palvex_test;
using palvex::ChunkStream;

namespace {

struct Got {
    bool corrupted;
    std::string ssid;
    std::int32_t length;
    Bytes payload;  // empty for a corrupted header
    bool operator==(const Got& o) const {
        return corrupted == o.corrupted && ssid == o.ssid && length == o.length && payload == o.payload;
    }
};

std::ostream& operator<<(std::ostream& os, const Got& g) {
    return os << (g.corrupted ? "corrupted " : "") << '"' << g.ssid << "\" " << g.length << " ("
              << g.payload.size() << " bytes)";
}

// Feeds `stream` cut at `cuts` (ascending offsets) as separate receives,
// each as large as the buffer allows, and takes every chunk out after each.
std::vector<Got> feed(ChunkStream& cs, const Bytes& stream, const std::vector<std::size_t>& cuts) {
    cs.clear();
    std::vector<Got> out;
    std::size_t at = 0;
    auto receive_up_to = [&](std::size_t end) {
        end = std::min(end, stream.size());
        while (at < end) {
            const std::size_t n = std::min(end - at, cs.receive_room());
            EXPECT_GT(n, 0u) << "no room left for the rest of a chunk";
            if (n == 0) return;
            std::memcpy(cs.receive_area(), stream.data() + at, n);
            cs.received(n);
            at += n;
            ChunkStream::Chunk c{};
            while (cs.next(c)) {
                Got g{c.corrupted, std::string(c.ssid), c.length, {}};
                if (!c.corrupted) g.payload.assign(c.payload, c.payload + c.length);
                out.push_back(std::move(g));
            }
        }
    };
    for (const std::size_t cut : cuts) receive_up_to(cut);
    receive_up_to(stream.size());
    return out;
}

Bytes header(const char (&ssid)[7], std::int32_t length) {
    Bytes b(ssid, ssid + 6);
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(length) >> (8 * i)));
    return b;
}

// A stream with something hostile in every chunk, and what must come out.
struct Script {
    Bytes stream;
    std::vector<Got> expected;
    void chunk(const std::string& ssid, const Bytes& payload) {
        const Bytes c = hub_chunk(ssid, payload);
        stream.insert(stream.end(), c.begin(), c.end());
        expected.push_back({false, ssid.substr(0, std::min<std::size_t>(ssid.find('\0'), 6)),
                            static_cast<std::int32_t>(payload.size()), payload});
    }
    // Only its 10-byte header is skipped; what follows is the next header.
    void corrupted(const char (&ssid)[7], std::int32_t length, const std::string& text) {
        const Bytes h = header(ssid, length);
        stream.insert(stream.end(), h.begin(), h.end());
        expected.push_back({true, text, length, {}});
    }
};

Script hostile_script() {
    Script s;
    s.chunk("B1", packet_of(MES_4, 1));
    s.corrupted("NEG\0\0\0", -1, "NEG");
    s.corrupted("MIN\0\0\0", INT32_MIN, "MIN");
    s.chunk("ZERO", {});
    s.chunk(std::string("\0\0\0\0\0\0", 6), packet_of(MES_2, 3));  // empty SSID
    s.chunk("SIXSIX", Bytes(5, 0x7E));                              // no terminating zero
    s.corrupted("BIGBIG", INT32_MAX, "BIGBIG");
    s.corrupted("ONEPST", static_cast<std::int32_t>(ChunkStream::max_payload + 1), "ONEPST");
    s.chunk(std::string("AB\0DEF", 6), Bytes(1, 0x04));
    s.chunk("\xff\xfe\x01", packet_of(IMP_3, 5));
    return s;
}

TEST(ChunkStreamHostile, EverySingleCutGivesTheSameChunks) {
    const Script s = hostile_script();
    ChunkStream cs;
    ASSERT_EQ(feed(cs, s.stream, {}), s.expected);
    for (std::size_t cut = 1; cut < s.stream.size(); ++cut) ASSERT_EQ(feed(cs, s.stream, {cut}), s.expected) << cut;
}

TEST(ChunkStreamHostile, EveryPairOfCutsGivesTheSameChunks) {
    const Script s = hostile_script();
    ChunkStream cs;
    for (std::size_t a = 1; a < s.stream.size(); ++a)
        for (std::size_t b = a + 1; b < s.stream.size(); ++b)
            ASSERT_EQ(feed(cs, s.stream, {a, b}), s.expected) << a << ", " << b;
}

TEST(ChunkStreamHostile, OneByteAtATime) {
    const Script s = hostile_script();
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < s.stream.size(); ++i) cuts.push_back(i);
    ChunkStream cs;
    EXPECT_EQ(feed(cs, s.stream, cuts), s.expected);
}

TEST(ChunkStreamHostile, TruncatedHeaderOrPayloadWaitsAndReadsNothingPastTheEnd) {
    const Bytes whole = hub_chunk("B1", packet_of(MES_5, 1));
    ChunkStream cs;
    for (std::size_t kept = 0; kept < whole.size(); ++kept) {
        cs.clear();
        std::memcpy(cs.receive_area(), whole.data(), kept);
        cs.received(kept);
        ChunkStream::Chunk c{};
        EXPECT_FALSE(cs.next(c)) << kept;
        EXPECT_EQ(cs.pending(), kept);
        // The rest completes it.
        std::memcpy(cs.receive_area(), whole.data() + kept, whole.size() - kept);
        cs.received(whole.size() - kept);
        ASSERT_TRUE(cs.next(c)) << kept;
        EXPECT_EQ(Bytes(c.payload, c.payload + c.length), packet_of(MES_5, 1));
        EXPECT_FALSE(cs.next(c));
        EXPECT_EQ(cs.pending(), 0u);
    }
}

// The largest payload that fits one receive buffer arrives behind a stream
// of small chunks, so the partial chunk must be moved to the front to make
// room; one byte more is a corrupted length at once, without waiting.
TEST(ChunkStreamHostile, LargestPayloadFitsOneBeyondIsCorrupted) {
    Script s;
    for (std::uint32_t n = 1; n < 4000; n += 2) s.chunk("SMALL", packet_of(MES_4, n));
    Bytes big(ChunkStream::max_payload, 0x5A);
    big[0] = 9;  // no such family
    s.chunk("BIG", big);
    s.corrupted("OVER\0\0", static_cast<std::int32_t>(ChunkStream::max_payload + 1), "OVER");
    s.chunk("AFTER", packet_of(MES_4, 1));
    ChunkStream cs;
    EXPECT_EQ(feed(cs, s.stream, {}), s.expected);
    EXPECT_EQ(feed(cs, s.stream, {100000, 300000, 500000, 600000}), s.expected);
    EXPECT_EQ(feed(cs, s.stream, {s.stream.size() - 20}), s.expected);
}

}  // namespace
