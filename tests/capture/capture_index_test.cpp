// The two calls for hosts whose every foreign call is costly: the index gives
// in blocks what palvex_capture_next gives one by one, and the feed hands
// chunks to the real decoder, reading nothing outside the bytes it is given.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "packet_builder.h"
#include "palvex/capture.h"
#include "palvex/palvex.h"

using namespace palvex_test;

namespace {

struct Entry {
    std::uint64_t offset, length, key, skipped;
    bool operator==(const Entry& o) const {
        return offset == o.offset && length == o.length && key == o.key && skipped == o.skipped;
    }
};

std::ostream& operator<<(std::ostream& os, const Entry& e) {
    return os << e.length << " bytes at " << e.offset << " key " << e.key << " skipped " << e.skipped;
}

std::uint64_t key_of(const std::string& ssid) {
    std::uint64_t key = 0;
    for (std::size_t i = 0; i < ssid.size(); ++i) key |= std::uint64_t{static_cast<unsigned char>(ssid[i])} << (8 * i);
    return key;
}

// Boards A1, B2 and one with a full-width SSID, then junk, a chunk whose
// SSID field holds bytes after its zero, and a cut end.
Bytes sample_capture() {
    std::vector<Bytes> parts;
    for (std::uint32_t n = 1; n < 40; n += 2) {
        parts.push_back(hub_chunk("A1", packet_of(MES_4, n)));
        parts.push_back(hub_chunk("B2", packet_of(WUA2, n)));
        parts.push_back(hub_chunk("SIXSIX", packet_of(IMP_3, n)));
    }
    parts.push_back(Bytes(23, 0xA5));
    parts.push_back(hub_chunk(std::string("A1\0Z\0\0", 6), packet_of(MES_4, 41)));
    const Bytes last = hub_chunk("B2", packet_of(WUA2, 41));
    parts.push_back(Bytes(last.begin(), last.begin() + 100));
    return concat(parts);
}

std::vector<Entry> one_by_one(const Bytes& b) {
    std::vector<Entry> out;
    palvex_capture* c = palvex_capture_open_memory(b.data(), b.size());
    palvex_capture_chunk chunk;
    while (palvex_capture_next(c, &chunk) == PALVEX_CAPTURE_CHUNK)
        out.push_back({chunk.offset, chunk.length, key_of(chunk.ssid), chunk.skipped});
    palvex_capture_close(c);
    return out;
}

TEST(CaptureIndex, BlocksGiveWhatNextGivesAndSayWhenTheyAreFull) {
    const Bytes b = sample_capture();
    const std::vector<Entry> expected = one_by_one(b);
    ASSERT_EQ(expected.size(), 61u);
    EXPECT_EQ(expected.back().key, key_of("A1")) << "the bytes after an SSID's zero are no part of it";
    EXPECT_EQ(expected.back().skipped, 23u);
    for (const std::uint64_t block : {1, 7, 61, 62, 1000}) {
        palvex_capture* c = palvex_capture_open_memory(b.data(), b.size());
        std::vector<Entry> got;
        std::vector<std::uint64_t> offsets(block), keys(block), skipped(block);
        std::vector<std::uint32_t> lengths(block);
        int why;
        do {
            std::uint64_t found = 99;
            why = palvex_capture_index(c, block, offsets.data(), lengths.data(), keys.data(), skipped.data(), &found);
            ASSERT_LE(found, block);
            EXPECT_EQ(why == PALVEX_CAPTURE_CHUNK, found == block) << "full exactly when it says so";
            for (std::uint64_t i = 0; i < found; ++i) got.push_back({offsets[i], lengths[i], keys[i], skipped[i]});
        } while (why == PALVEX_CAPTURE_CHUNK);
        EXPECT_EQ(why, PALVEX_CAPTURE_END);
        EXPECT_EQ(got, expected) << "blocks of " << block;
        palvex_capture_tail tail;
        EXPECT_EQ(palvex_capture_tail_of(c, &tail), 1);
        EXPECT_EQ(tail.cut_size, 100u);
        palvex_capture_close(c);
    }
}

TEST(CaptureIndex, NullArraysAreRefusedUnlessNothingIsAsked) {
    const Bytes b = sample_capture();
    palvex_capture* c = palvex_capture_open_memory(b.data(), b.size());
    std::uint64_t o, k, s, found = 99;
    std::uint32_t n;
    EXPECT_EQ(palvex_capture_index(c, 1, nullptr, &n, &k, &s, &found), PALVEX_CAPTURE_REFUSED);
    EXPECT_EQ(found, 0u);
    EXPECT_EQ(palvex_capture_index(c, 1, &o, &n, &k, nullptr, &found), PALVEX_CAPTURE_REFUSED);
    EXPECT_EQ(palvex_capture_index(c, 1, &o, &n, &k, &s, nullptr), PALVEX_CAPTURE_REFUSED);
    EXPECT_EQ(palvex_capture_index(nullptr, 1, &o, &n, &k, &s, &found), PALVEX_CAPTURE_REFUSED);
    EXPECT_EQ(palvex_capture_index(c, 0, nullptr, nullptr, nullptr, nullptr, &found), PALVEX_CAPTURE_CHUNK);
    EXPECT_EQ(found, 0u);
    // Nothing was read by the refused calls: the first chunk is still next.
    EXPECT_EQ(palvex_capture_index(c, 1, &o, &n, &k, &s, &found), PALVEX_CAPTURE_CHUNK);
    EXPECT_EQ(o, 0u);
    palvex_capture_close(c);
}

struct Decoded {
    std::size_t rows = 0;
    static void on_row(void* context, const double*, size_t) { ++static_cast<Decoded*>(context)->rows; }
};

class CaptureFeed : public ::testing::Test {
protected:
    void SetUp() override {
        release();
        set_board_json(default_descriptor_json().c_str());
        for (std::uint32_t n = 1; n < 9; n += 2) {
            offsets.push_back(bytes.size());
            const Bytes c = hub_chunk("E5", packet_of(n == 5 ? MES_5 : MES_4, n));
            lengths.push_back(static_cast<std::uint32_t>(c.size() - 10));
            bytes.insert(bytes.end(), c.begin(), c.end());
        }
    }
    void TearDown() override { release(); }

    std::uint64_t feed(const std::vector<std::uint64_t>& o, const std::vector<std::uint32_t>& n) {
        results.assign(o.size(), -1);
        return palvex_capture_feed(bytes.data(), bytes.size(), o.data(), n.data(), o.size(), &interpret_data_fn,
                                   &Decoded::on_row, &decoded, results.data());
    }

    Bytes bytes;
    std::vector<std::uint64_t> offsets;
    std::vector<std::uint32_t> lengths;
    std::vector<std::int32_t> results;
    Decoded decoded;
};

TEST_F(CaptureFeed, EveryChunkGoesToTheDecoderAndARefusedOneCostsOnlyItself) {
    EXPECT_EQ(feed(offsets, lengths), 4u);
    EXPECT_EQ(results, (std::vector<std::int32_t>{0, 0, 0, 0}));
    EXPECT_EQ(decoded.rows, 8u);

    // A descriptor that cannot serve MES_5: its chunk is refused, the MES_4
    // chunks after it are decoded.
    release();
    std::string no_raw_ppg = default_descriptor_json();
    const auto key = no_raw_ppg.find("\"ppg_raw_channels\"");
    ASSERT_NE(key, std::string::npos);
    no_raw_ppg.replace(key, std::string("\"ppg_raw_channels\"").size(), "\"unused_channels\"");
    set_board_json(no_raw_ppg.c_str());
    decoded.rows = 0;
    EXPECT_EQ(feed(offsets, lengths), 4u);
    EXPECT_EQ(results, (std::vector<std::int32_t>{0, 0, PALVEX_ERR_NO_DESCRIPTOR, 0}));
    EXPECT_EQ(decoded.rows, 6u);
}

TEST_F(CaptureFeed, StopsBeforeAChunkOutsideTheBytes) {
    struct Case {
        const char* name;
        std::size_t index;
        std::uint64_t offset;
        std::uint32_t length;
        std::uint64_t handed_over;
    };
    const std::uint64_t size = bytes.size();
    const Case cases[] = {
        {"offset past the end", 2, size + 1, lengths[2], 2},
        {"header past the end", 3, size - 9, 0, 3},
        {"payload past the end", 3, offsets[3], lengths[3] + 1, 3},
        {"offset near 2^64", 1, UINT64_MAX - 4, lengths[1], 1},
        {"length near 2^32", 0, 0, UINT32_MAX, 0},
    };
    for (const Case& c : cases) {
        std::vector<std::uint64_t> o = offsets;
        std::vector<std::uint32_t> n = lengths;
        o[c.index] = c.offset;
        n[c.index] = c.length;
        release();
        EXPECT_EQ(feed(o, n), c.handed_over) << c.name;
        EXPECT_EQ(results[c.handed_over], -1) << c.name << ": not written";
    }
}

TEST_F(CaptureFeed, NullPointersAreRefused) {
    std::vector<std::int32_t> r(4, -1);
    auto call = [&](const std::uint8_t* d, const std::uint64_t* o, const std::uint32_t* n,
                    palvex_capture_interpret_fn f, std::int32_t* out) {
        return palvex_capture_feed(d, bytes.size(), o, n, 4, f, &Decoded::on_row, &decoded, out);
    };
    EXPECT_EQ(call(nullptr, offsets.data(), lengths.data(), &interpret_data_fn, r.data()), 0u);
    EXPECT_EQ(call(bytes.data(), nullptr, lengths.data(), &interpret_data_fn, r.data()), 0u);
    EXPECT_EQ(call(bytes.data(), offsets.data(), nullptr, &interpret_data_fn, r.data()), 0u);
    EXPECT_EQ(call(bytes.data(), offsets.data(), lengths.data(), nullptr, r.data()), 0u);
    EXPECT_EQ(call(bytes.data(), offsets.data(), lengths.data(), &interpret_data_fn, nullptr), 0u);
    EXPECT_EQ(r, (std::vector<std::int32_t>(4, -1)));
    EXPECT_EQ(decoded.rows, 0u);
}

}  // namespace
