// The chunk framing under hostile streams: corrupted lengths, empty and
// full-width SSIDs, the largest payload a receive can hold, every way TCP
// can cut the stream, a stream joined in the middle of a chunk, and junk in
// mid-stream. Whatever the cuts, the chunks that come out are the ones the
// hub sent, nothing is read past the bytes received, and after junk the
// framing finds the hub's chunk boundaries again.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "chunks/chunk_stream.h"
#include "packet_builder.h"

using namespace palvex_test;
using palvex::ChunkStream;

namespace {

struct Got {
    bool corrupted;
    std::string ssid;
    std::int32_t length;
    Bytes payload;  // empty for a corrupted header
    std::size_t skipped = 0;
    bool operator==(const Got& o) const {
        return corrupted == o.corrupted && ssid == o.ssid && length == o.length && payload == o.payload &&
               skipped == o.skipped;
    }
};

std::ostream& operator<<(std::ostream& os, const Got& g) {
    return os << (g.corrupted ? "corrupted " : "") << '"' << g.ssid << "\" " << g.length << " ("
              << g.payload.size() << " bytes, " << g.skipped << " skipped before)";
}

// Feeds `stream` cut at `cuts` (ascending offsets) as separate receives,
// each as large as the buffer allows, and takes every chunk out after each.
// `in_step` false: the stream is joined at an unknown point, as the read
// loop joins it after its first receive.
std::vector<Got> feed(const Bytes& stream, const std::vector<std::size_t>& cuts, bool in_step = true) {
    static ChunkStream cs;  // 500 kB: made once
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
                Got g{c.corrupted, std::string(c.ssid), c.length, {}, c.skipped};
                if (!c.corrupted) g.payload.assign(c.payload, c.payload + c.length);
                out.push_back(std::move(g));
            }
        }
    };
    if (!in_step) cs.lose_step();
    for (const std::size_t cut : cuts) receive_up_to(cut);
    receive_up_to(stream.size());
    return out;
}

Bytes header(const char (&ssid)[7], std::int32_t length) {
    Bytes b(ssid, ssid + 6);
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(length) >> (8 * i)));
    return b;
}

// A stream with something hostile in it, and what must come out.
struct Script {
    Bytes stream;
    std::vector<Got> expected;
    std::vector<std::size_t> starts;  // where each chunk of `expected` begins
    void add(const Bytes& bytes) { stream.insert(stream.end(), bytes.begin(), bytes.end()); }
    void chunk(const std::string& ssid, const Bytes& payload) {
        starts.push_back(stream.size());
        add(hub_chunk(ssid, payload));
        expected.push_back({false, ssid.substr(0, std::min<std::size_t>(ssid.find('\0'), 6)),
                            static_cast<std::int32_t>(payload.size()), payload});
    }
    // Only its 10-byte header is skipped; what follows is the next header.
    void corrupted(const char (&ssid)[7], std::int32_t length, const std::string& text) {
        starts.push_back(stream.size());
        add(header(ssid, length));
        expected.push_back({true, text, length, {}});
    }
    // Bytes no header accounts for: the next chunk says how many it skipped.
    void junk(const Bytes& bytes) { add(bytes), pending_skip += bytes.size(); }
    void resync(const std::string& ssid, const Bytes& payload) {
        chunk(ssid, payload);
        expected.back().skipped = pending_skip;
        pending_skip = 0;
    }
    std::size_t pending_skip = 0;
};

// In step all along: each corrupted header and each chunk of no known family
// is followed by a plausible header, which keeps the framing where it is.
Script hostile_script() {
    Script s;
    s.chunk("B1", packet_of(MES_4, 1));
    s.corrupted("NEG\0\0\0", -1, "NEG");
    s.chunk(std::string("\0\0\0\0\0\0", 6), packet_of(MES_2, 3));  // empty SSID
    s.chunk("ZERO", {});
    s.chunk("SIXSIX", Bytes(5, 0x7E));                              // no terminating zero
    s.corrupted("MIN\0\0\0", INT32_MIN, "MIN");
    s.chunk("\xff\xfe\x01", packet_of(IMP_3, 5));
    s.chunk(std::string("AB\0DEF", 6), Bytes(1, 0x04));
    s.chunk("W", packet_of(WUA2, 7));
    s.corrupted("BIGBIG", INT32_MAX, "BIGBIG");
    s.chunk("END1", packet_of(MES_4, 9));
    s.corrupted("ONEPST", static_cast<std::int32_t>(ChunkStream::max_payload + 1), "ONEPST");
    s.chunk("END2", packet_of(MES_5, 11));
    return s;
}

TEST(ChunkStreamHostile, EverySingleCutGivesTheSameChunks) {
    const Script s = hostile_script();
    ASSERT_EQ(feed(s.stream, {}), s.expected);
    for (std::size_t cut = 1; cut < s.stream.size(); ++cut) ASSERT_EQ(feed(s.stream, {cut}), s.expected) << cut;
}

TEST(ChunkStreamHostile, EveryPairOfCutsGivesTheSameChunks) {
    const Script s = hostile_script();
    for (std::size_t a = 1; a < s.stream.size(); a += 3)
        for (std::size_t b = a + 1; b < s.stream.size(); ++b)
            ASSERT_EQ(feed(s.stream, {a, b}), s.expected) << a << ", " << b;
}

TEST(ChunkStreamHostile, OneByteAtATime) {
    const Script s = hostile_script();
    std::vector<std::size_t> cuts;
    for (std::size_t i = 1; i < s.stream.size(); ++i) cuts.push_back(i);
    EXPECT_EQ(feed(s.stream, cuts), s.expected);
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
    big[0] = 9;  // no such family: taken because the header after it is a plausible one
    s.chunk("BIG", big);
    s.chunk("AFTER", packet_of(MES_4, 1));
    s.corrupted("OVER\0\0", static_cast<std::int32_t>(ChunkStream::max_payload + 1), "OVER");
    s.chunk("LAST", packet_of(MES_4, 3));
    EXPECT_EQ(feed(s.stream, {}), s.expected);
    EXPECT_EQ(feed(s.stream, {100000, 300000, 500000, 600000}), s.expected);
    EXPECT_EQ(feed(s.stream, {s.stream.size() - 20}), s.expected);
}

// Boards of every family, as a hub streams them.
Script hub_stream(std::uint32_t packets_per_board) {
    Script s;
    for (std::uint32_t n = 1; n < 2 * packets_per_board; n += 2) {
        s.chunk("MES4AA", packet_of(MES_4, n));
        s.chunk("IMP3", packet_of(IMP_3, n + 100));
        s.chunk("WUA2xx", packet_of(WUA2, n + 7000));
        s.chunk("M2", packet_of(MES_2, n));
        s.chunk("M5", packet_of(MES_5, n * 3));
    }
    return s;
}

// Joined at any byte of the stream, the framing loses at most the chunk it
// joined in, and finds every whole chunk after it, however TCP cuts the rest.
TEST(ChunkStreamJoinedMidStream, EveryStartPointFindsEveryWholeChunkAfterIt) {
    const Script s = hub_stream(8);
    for (std::size_t start = 0; start < s.starts[7]; ++start) {
        const Bytes joined(s.stream.begin() + static_cast<std::ptrdiff_t>(start), s.stream.end());
        std::size_t first = 0;
        while (s.starts[first] < start) ++first;
        std::vector<Got> expected(s.expected.begin() + static_cast<std::ptrdiff_t>(first), s.expected.end());
        expected.front().skipped = s.starts[first] - start;
        std::vector<std::size_t> every_byte;
        for (std::size_t i = 1; i < joined.size(); ++i) every_byte.push_back(i);
        ASSERT_EQ(feed(joined, {}, false), expected) << "start " << start;
        ASSERT_EQ(feed(joined, every_byte, false), expected) << "start " << start << ", byte by byte";
        ASSERT_EQ(feed(joined, {3, 50, 51, 400}, false), expected) << "start " << start << ", cut";
    }
}

// A chunk found out of step that ends where a receive ended is taken at once
// (a hub writes whole chunks); one that ends where the buffer was full is
// not, since the next bytes must say whether it was a chunk at all.
TEST(ChunkStreamJoinedMidStream, LastChunkOfAReceiveIsTakenWithoutWaiting) {
    Script s;
    s.junk(Bytes(13, 0x55));
    s.resync("ALONE", packet_of(MES_4, 1));
    ChunkStream cs;
    cs.lose_step();
    std::memcpy(cs.receive_area(), s.stream.data(), s.stream.size());
    cs.received(s.stream.size());
    ChunkStream::Chunk c{};
    ASSERT_TRUE(cs.next(c));
    EXPECT_EQ(c.ssid, "ALONE");
    EXPECT_EQ(c.skipped, 13u);
    EXPECT_FALSE(cs.next(c));
}

// Junk in mid-stream: whatever it holds, the chunks before and after it come
// out, and the stretch is reported once, with its length.
TEST(ChunkStreamJunk, RandomBytesInMidStreamCostNothingButThemselves) {
    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::mt19937 random(seed);
        Bytes junk(1 + random() % 600);
        for (std::uint8_t& b : junk) b = static_cast<std::uint8_t>(random());
        Script s;
        s.chunk("BEFORE", packet_of(MES_4, 1));
        s.add(junk);
        s.chunk("AFTER", packet_of(MES_5, 3));
        s.chunk("AFTER", packet_of(MES_5, 5));
        const std::vector<Got> got = feed(s.stream, {s.starts[1] - 7, s.starts[1] + 3});
        // Junk may first be read as a corrupted header; nothing else comes of it.
        std::vector<Got> chunks;
        std::size_t skipped = 0, corrupted = 0;
        for (const Got& g : got) {
            skipped += g.skipped;
            if (g.corrupted) ++corrupted;
            else chunks.push_back(g);
        }
        ASSERT_EQ(chunks.size(), 3u) << "seed " << seed  << ": " << ::testing::PrintToString(got);
        EXPECT_EQ(chunks[0].ssid, "BEFORE");
        EXPECT_EQ(chunks[1].payload, packet_of(MES_5, 3)) << "seed " << seed;
        EXPECT_EQ(chunks[2].payload, packet_of(MES_5, 5)) << "seed " << seed;
        EXPECT_EQ(chunks[2].skipped, 0u);
        EXPECT_EQ(skipped + 10 * corrupted, junk.size()) << "seed " << seed;
    }
}

// Only a header that leads to another plausible one keeps the framing in
// step; a corrupted length or a chunk of no known family followed by junk
// throws it out of step until the hub's boundaries are found again.
TEST(ChunkStreamJunk, WhatKeepsTheFramingInStepAndWhatDoesNot) {
    const Bytes junk(23, 0xEE);
    struct Case {
        const char* name;
        Script script;
    };
    std::vector<Case> cases;
    {
        Script s;  // corrupted length, then a plausible header: still in step
        s.chunk("A", packet_of(MES_2, 1));
        s.corrupted("NEG\0\0\0", -5, "NEG");
        s.chunk("A", packet_of(MES_2, 3));
        cases.push_back({"corrupted then plausible", s});
    }
    {
        Script s;  // corrupted length, then junk: it was never a header, and is searched too
        s.chunk("A", packet_of(MES_2, 1));
        s.junk(header("NEG\0\0\0", -5));
        s.junk(junk);
        s.resync("A", packet_of(MES_2, 3));
        cases.push_back({"corrupted then junk", s});
    }
    {
        Script s;  // a chunk of no known family, then junk: it was never a chunk
        s.chunk("A", packet_of(MES_2, 1));
        s.junk(hub_chunk("ODD", Bytes(40, 0x09)));
        s.junk(junk);
        s.resync("A", packet_of(MES_2, 3));
        cases.push_back({"unknown family then junk", s});
    }
    {
        Script s;  // a chunk of a family whose length it does not have, then junk
        s.chunk("A", packet_of(MES_2, 1));
        Bytes wrong = packet_of(MES_4, 3);
        wrong.pop_back();
        s.junk(hub_chunk("A", wrong));
        s.junk(junk);
        s.resync("A", packet_of(MES_2, 5));
        cases.push_back({"wrong length then junk", s});
    }
    {
        Script s;  // a chunk of the wrong length followed by a good one: taken as framed
        s.chunk("A", packet_of(MES_2, 1));
        Bytes wrong = packet_of(MES_4, 3);
        wrong.pop_back();
        s.chunk("A", wrong);
        s.chunk("A", packet_of(MES_2, 5));
        cases.push_back({"wrong length then plausible", s});
    }
    // (Cut so that no receive ends where the odd chunk does: a receive that
    // ends there vouches for it, as a hub's whole write would.)
    for (const Case& c : cases) {
        const std::size_t size = c.script.stream.size();
        EXPECT_EQ(feed(c.script.stream, {}), c.script.expected) << c.name;
        EXPECT_EQ(feed(c.script.stream, {size - 90, size - 40, size - 3}), c.script.expected) << c.name << ", cut";
    }
}

}  // namespace
