// The capture reader through its public interface, as a host uses it: the
// same damaged captures (a corrupted length, junk between chunks, a chunk
// with bytes torn out, a capture that ends inside a chunk) read from memory,
// from a file and as a pushed stream must give the chunks the damage did not
// hit, each with the damaged stretch before it, and say what the end left.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "packet_builder.h"
#include "palvex/capture.h"

using namespace palvex_test;

namespace {

struct Got {
    std::string ssid;
    Bytes payload;
    std::uint64_t offset = 0;
    std::uint64_t skipped = 0;
    bool operator==(const Got& o) const {
        return ssid == o.ssid && payload == o.payload && offset == o.offset && skipped == o.skipped;
    }
};

std::ostream& operator<<(std::ostream& os, const Got& g) {
    return os << '"' << g.ssid << "\" " << g.payload.size() << " bytes at " << g.offset << ", " << g.skipped
              << " skipped before";
}

struct Read {
    std::vector<Got> chunks;
    palvex_capture_tail tail{};
    bool operator==(const Read& o) const {
        return chunks == o.chunks && tail.skipped == o.tail.skipped && tail.cut_offset == o.tail.cut_offset &&
               tail.cut_size == o.tail.cut_size;
    }
};

std::ostream& operator<<(std::ostream& os, const Read& r) {
    os << r.chunks.size() << " chunks";
    for (const Got& g : r.chunks)
        if (g.skipped) os << "; " << g;
    return os << "; tail: " << r.tail.skipped << " skipped, cut at " << r.tail.cut_offset << " (" << r.tail.cut_size
              << " bytes)";
}

// Everything a reader gives, up to its end.
Read read_all(palvex_capture* c) {
    Read r;
    palvex_capture_chunk chunk;
    int why;
    while ((why = palvex_capture_next(c, &chunk)) == PALVEX_CAPTURE_CHUNK)
        r.chunks.push_back({chunk.ssid, Bytes(chunk.payload, chunk.payload + chunk.length), chunk.offset, chunk.skipped});
    EXPECT_EQ(why, PALVEX_CAPTURE_END);
    EXPECT_EQ(palvex_capture_tail_of(c, &r.tail), 1);
    palvex_capture_close(c);
    return r;
}

std::string scratch_file(const Bytes& bytes) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("palvex_capture_test_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                       "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".cap");
    std::FILE* f = std::fopen(path.string().c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f) {
        if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fclose(f);
    }
    return path.string();
}

// The three sources of the same bytes. The stream is pushed as a hub's
// receives would bring it when the buffer keeps filling (a push ends where
// a write ended only at the very end), so it reads as the file does.
Read from_memory(const Bytes& b) { return read_all(palvex_capture_open_memory(b.data(), b.size())); }

Read from_file(const Bytes& b) {
    const std::string path = scratch_file(b);
    palvex_capture* c = palvex_capture_open_file(path.c_str());
    EXPECT_NE(c, nullptr);
    Read r = c ? read_all(c) : Read{};
    std::filesystem::remove(path);
    return r;
}

Read from_stream(const Bytes& b, std::size_t piece = SIZE_MAX) {
    palvex_capture* c = palvex_capture_open_stream();
    Read r;
    std::size_t at = 0;
    palvex_capture_chunk chunk;
    for (;;) {
        const int why = palvex_capture_next(c, &chunk);
        if (why == PALVEX_CAPTURE_CHUNK) {
            r.chunks.push_back(
                {chunk.ssid, Bytes(chunk.payload, chunk.payload + chunk.length), chunk.offset, chunk.skipped});
        } else if (why == PALVEX_CAPTURE_MORE && at < b.size()) {
            const std::uint64_t n = palvex_capture_push(c, b.data() + at, std::min(piece, b.size() - at));
            EXPECT_GT(n, 0u);
            at += n;
        } else if (why == PALVEX_CAPTURE_MORE) {
            palvex_capture_finish(c);
        } else {
            EXPECT_EQ(why, PALVEX_CAPTURE_END);
            break;
        }
    }
    EXPECT_EQ(palvex_capture_tail_of(c, &r.tail), 1);
    palvex_capture_close(c);
    return r;
}

// A capture as a plan: chunks the reader must give, and damaged stretches
// (junk, torn or corrupted chunks) it must pass over and count before the
// next chunk, or at the end.
struct Plan {
    Bytes bytes;
    Read expected;
    std::uint64_t damage = 0;  // since the last good chunk

    void good(const std::string& ssid, const Bytes& payload) {
        expected.chunks.push_back({ssid.substr(0, ssid.find('\0')), payload, bytes.size(), damage});
        damage = 0;
        append(hub_chunk(ssid, payload));
    }
    void bad(const Bytes& b) {
        damage += b.size();
        append(b);
    }
    // The end cuts off a chunk after `kept` of its bytes.
    void cut(const Bytes& chunk, std::size_t kept) {
        expected.tail.cut_offset = bytes.size();
        expected.tail.cut_size = kept;
        append(Bytes(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(kept)));
    }
    const Read& done() {
        expected.tail.skipped = damage;
        return expected;
    }
    void append(const Bytes& b) { bytes.insert(bytes.end(), b.begin(), b.end()); }
};

// Three boards of three families, as a hub interleaves them, with the
// damage of `at(k, plan)` done instead of chunk k whenever it returns true.
template <class Damage>
Plan capture(std::size_t chunks, Damage&& at) {
    const COMM_TYPE families[] = {MES_4, WUA2, IMP_3};
    const char* ssids[] = {"A1", "B2", "C3"};
    Plan p;
    for (std::size_t k = 0; k < chunks; ++k) {
        const std::size_t board = k % 3;
        const Bytes payload = packet_of(families[board], static_cast<std::uint32_t>(1 + 2 * (k / 3)));
        if (!at(k, hub_chunk(ssids[board], payload), p)) p.good(ssids[board], payload);
    }
    return p;
}

Bytes junk(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(random());
    return b;
}

Bytes with_length(Bytes chunk, std::int32_t length) {
    for (int i = 0; i < 4; ++i) chunk[6 + i] = static_cast<std::uint8_t>(static_cast<std::uint32_t>(length) >> (8 * i));
    return chunk;
}

Bytes torn(Bytes chunk, std::size_t at, std::size_t n) {
    chunk.erase(chunk.begin() + static_cast<std::ptrdiff_t>(at), chunk.begin() + static_cast<std::ptrdiff_t>(at + n));
    return chunk;
}

struct Case {
    const char* name;
    Plan plan;
};

// Damage done to chunk k of a capture: its bytes made into what(chunk);
// bytes put before it; the end cut `kept` bytes into it.
auto instead_of(std::size_t k, Bytes (*what)(const Bytes&)) {
    return [=](std::size_t i, const Bytes& c, Plan& p) {
        if (i == k) p.bad(what(c));
        return i == k;
    };
}
auto before(std::size_t k, Bytes b) {
    return [=](std::size_t i, const Bytes&, Plan& p) {
        if (i == k) p.bad(b);
        return false;
    };
}
auto cut_in(std::size_t k, std::size_t kept) {
    return [=](std::size_t i, const Bytes& c, Plan& p) {
        if (i == k) p.cut(c, kept);
        return i == k;
    };
}

std::vector<Case> damaged_captures() {
    std::vector<Case> cases;
    auto add = [&](const char* name, std::size_t chunks, auto damage) { cases.push_back({name, capture(chunks, damage)}); };
    add("clean", 60, [](std::size_t, const Bytes&, Plan&) { return false; });
    add("a length flipped to another in range", 60, instead_of(30, [](const Bytes& c) { return with_length(c, 161655); }));
    add("a negative length", 60, instead_of(31, [](const Bytes& c) { return with_length(c, -77); }));
    add("333 bytes of junk between two chunks", 60, before(20, junk(333, 7)));
    add("40 bytes torn out of a WUA2 chunk", 60, instead_of(28, [](const Bytes& c) { return torn(c, 60, 40); }));
    add("40 bytes torn out of a MES_4 chunk", 60, instead_of(27, [](const Bytes& c) { return torn(c, 20, 40); }));
    add("a corrupted header alone, as a hub may send one", 60, before(10, hub_chunk("NEG", -1, {})));
    add("the first chunk torn", 30, instead_of(0, [](const Bytes& c) { return Bytes(c.begin() + 20, c.end()); }));
    add("junk before the last chunk", 30, before(29, junk(50, 3)));
    add("junk at the end", 30, [](std::size_t, const Bytes&, Plan&) { return false; });
    cases.back().plan.bad(junk(50, 3));
    add("ends inside a payload", 30, cut_in(29, 30));
    add("ends inside a header", 30, cut_in(29, 4));
    add("a torn chunk right before the end", 30, instead_of(28, [](const Bytes& c) { return torn(c, 30, 40); }));
    // Damage where the file reader's first block ends (its buffer holds
    // 500022 bytes), so the stretch is found across two reads.
    add("damage across the file reader's blocks", 3900, [](std::size_t k, const Bytes& c, Plan& p) {
        const bool near = p.bytes.size() > 499500 && p.bytes.size() < 500500;
        if (near && k % 6 == 1) p.bad(junk(99, static_cast<unsigned>(k)));
        if (near && k % 6 == 4) p.bad(torn(c, 50, 40));
        return near && k % 6 == 4;
    });
    return cases;
}

TEST(CaptureReader, DamageCostsTheChunksItHitFromMemoryFileAndStream) {
    for (Case& c : damaged_captures()) {
        const Read& expected = c.plan.done();
        const Bytes& b = c.plan.bytes;
        EXPECT_EQ(from_memory(b), expected) << c.name << ", from memory";
        EXPECT_EQ(from_file(b), expected) << c.name << ", from a file";
        EXPECT_EQ(from_stream(b), expected) << c.name << ", pushed";
    }
}

// A clean capture reads the same however its bytes are pushed: a push that
// ends on a chunk's end confirms it, one that ends inside it waits.
TEST(CaptureReader, AStreamPushedInPiecesOfAnySizeGivesEveryChunk) {
    Plan p = capture(40, [](std::size_t, const Bytes&, Plan&) { return false; });
    const Read& expected = p.done();
    for (const std::size_t piece : {1, 2, 9, 10, 11, 77, 500})
        EXPECT_EQ(from_stream(p.bytes, piece), expected) << piece << "-byte pushes";
}

TEST(CaptureReader, SsidsAreTheirRawBytesUpToTheFirstZero) {
    Plan p;
    p.good("\xff\xfe\x01", packet_of(MES_5, 1));
    p.good(std::string("AB\0DEF", 6), packet_of(MES_2, 1));
    p.good("SIXSIX", packet_of(MES_4, 1));
    p.good(std::string(6, '\0'), packet_of(WUA2, 1));
    EXPECT_EQ(from_memory(p.bytes), p.done());
}

TEST(CaptureReader, AnEmptyCaptureEndsAtOnce) {
    EXPECT_EQ(from_memory({}), Read{});
    EXPECT_EQ(from_file({}), Read{});
    palvex_capture* c = palvex_capture_open_memory(nullptr, 0);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(read_all(c), Read{});
}

TEST(CaptureReader, TheTailIsKnownOnlyOnceTheEndIsReached) {
    Plan p = capture(3, [](std::size_t, const Bytes&, Plan&) { return false; });
    palvex_capture* c = palvex_capture_open_memory(p.bytes.data(), p.bytes.size());
    palvex_capture_tail tail{1, 2, 3};
    palvex_capture_chunk chunk;
    EXPECT_EQ(palvex_capture_next(c, &chunk), PALVEX_CAPTURE_CHUNK);
    EXPECT_EQ(palvex_capture_tail_of(c, &tail), 0);
    EXPECT_EQ(tail.skipped + tail.cut_offset + tail.cut_size, 0u);
    while (palvex_capture_next(c, &chunk) == PALVEX_CAPTURE_CHUNK) {
    }
    EXPECT_EQ(palvex_capture_next(c, &chunk), PALVEX_CAPTURE_END) << "the end stays the end";
    EXPECT_EQ(chunk.length, 0u);
    EXPECT_EQ(chunk.payload, nullptr);
    EXPECT_EQ(palvex_capture_tail_of(c, &tail), 1);
    EXPECT_EQ(palvex_capture_push(c, p.bytes.data(), 1), 0u) << "memory takes no pushes";
    palvex_capture_close(c);
}

TEST(CaptureReader, FilesThatCannotBeReadGiveNoReader) {
    EXPECT_EQ(palvex_capture_open_file("/no/such/palvex/capture"), nullptr);
    EXPECT_EQ(palvex_capture_open_file(std::filesystem::temp_directory_path().string().c_str()), nullptr)
        << "a directory";
}

TEST(CaptureReader, NullArgumentsAreRefusedAndOutputsStillWritten) {
    const std::uint8_t five[5] = {};
    palvex_capture_chunk chunk;
    chunk.length = 99;
    EXPECT_EQ(palvex_capture_next(nullptr, &chunk), PALVEX_CAPTURE_REFUSED);
    EXPECT_EQ(chunk.length, 0u);
    palvex_capture_tail tail{1, 2, 3};
    EXPECT_EQ(palvex_capture_tail_of(nullptr, &tail), PALVEX_CAPTURE_REFUSED);
    EXPECT_EQ(tail.cut_size, 0u);
    EXPECT_EQ(palvex_capture_open_memory(nullptr, 10), nullptr);
    EXPECT_EQ(palvex_capture_open_file(nullptr), nullptr);
    palvex_capture* c = palvex_capture_open_stream();
    EXPECT_EQ(palvex_capture_next(c, nullptr), PALVEX_CAPTURE_REFUSED);
    EXPECT_EQ(palvex_capture_tail_of(c, nullptr), PALVEX_CAPTURE_REFUSED);
    EXPECT_EQ(palvex_capture_push(c, nullptr, 5), 0u);
    EXPECT_EQ(palvex_capture_push(nullptr, five, 5), 0u);
    palvex_capture_finish(nullptr);
    palvex_capture_close(nullptr);
    palvex_capture_finish(c);
    EXPECT_EQ(palvex_capture_push(c, five, 5), 0u) << "a finished stream takes no more";
    EXPECT_EQ(palvex_capture_next(c, &chunk), PALVEX_CAPTURE_END);
    palvex_capture_close(c);
}

}  // namespace
