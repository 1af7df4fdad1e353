// Hostile input through the exports: descriptors of every wrong shape and
// buffers of every length behind every type word. Whatever arrives, the
// result is a documented code, only the rows that should come are
// delivered, and the next valid buffer decodes exactly as in a fresh
// library.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "../api/host.h"

using namespace palvex_test;
using nlohmann::json;

namespace {

// Families as bits, to say which of them a descriptor must refuse.
enum : unsigned { W = 1, M2 = 2, I3 = 4, M4 = 8, M5 = 16, ALL = 31, NONE = 0, EXG_READERS = W | M2 | M4 | M5 };

struct Family {
    COMM_TYPE type;
    unsigned bit;
    std::uint16_t type_word;  // what opens its buffers (WUA2 has none: 1 stands for it)
};
const Family families[] = {{WUA2, W, 1}, {MES_2, M2, 2}, {IMP_3, I3, 3}, {MES_4, M4, 4}, {MES_5, M5, 5}};

using Rows = std::vector<std::vector<double>>;

Rows rows_of(const RowSink& sink, std::size_t from = 0) {
    Rows out;
    for (std::size_t i = from; i < sink.size(); ++i) out.push_back(sink.row(i));
    return out;
}

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        set_logger(log.logger.get());
        // What a fresh decoder with the default descriptor delivers.
        for (const Family& f : families)
            for (const std::uint32_t n : {12u, 100u}) {
                use_default_descriptor();
                RowSink sink;
                ASSERT_EQ(feed(packet_of(f.type, n), sink), 0);
                ASSERT_EQ(sink.size(), 2u);
                reference[{f.type, n}] = rows_of(sink);
            }
        use_default_descriptor();
    }

    void use_default_descriptor() {
        release();
        set_board_json(default_descriptor_json().c_str());
    }

    // The default descriptor and a new decoder decode `family` exactly as
    // before the hostile input.
    void expect_recovers(COMM_TYPE family, const std::string& after) {
        use_default_descriptor();
        RowSink sink;
        EXPECT_EQ(feed(packet_of(family, 100), sink), 0) << after;
        EXPECT_EQ(rows_of(sink), (reference[{family, 100}])) << after;
    }

    // Every row must be a whole row with the valid mark, whatever the input.
    static void expect_well_formed(const RowSink& sink, std::size_t num_rows, const std::string& what) {
        for (const Delivery& d : sink.deliveries) {
            ASSERT_EQ(d.row.size(), num_rows) << what;
            ASSERT_EQ(d.row[29], 1.0) << what;
        }
    }

    std::map<std::pair<COMM_TYPE, std::uint32_t>, Rows> reference;
    CapturedLog log;
};

// ---------------------------------------------------------------------------
// Descriptors

std::string nested(std::size_t depth, bool balanced) {
    return std::string(depth, '[') + std::string(balanced ? depth : depth / 2, ']');
}

TEST_F(Hostile, TextThatIsNotADescriptorObjectIsRefusedByEveryFamily) {
    const std::string not_json[] = {
        "{", "}", "{\"num_rows\": 32,}", "[1,", "nul", "tru", "\"unterminated", "{'num_rows': 32}",
        "/* comment */ {}", "{} {}", "\xff\xfe", default_descriptor_json() + " trailing", nested(100000, false),
        std::string("{\"num_rows\": 32\0}", 17),
    };
    const std::string wrong_type[] = {
        "5", "-1", "1.5", "1e308", "true", "false", "\"\"", "\"{}\"", "[]", "{}", "[{}]", "-0", "0e10",
        nested(100000, true),
    };
    // Nothing set yet: text that does not parse leaves it unset.
    for (const std::string& text : not_json) {
        set_board_json("0");
        set_board_json(text.c_str());
        for (const Family& f : families) {
            RowSink sink;
            EXPECT_EQ(feed(packet_of(f.type, 1), sink), PALVEX_ERR_NO_DESCRIPTOR) << text.substr(0, 40);
            EXPECT_EQ(sink.size(), 0u);
        }
        // With a descriptor set, the same text keeps it.
        use_default_descriptor();
        set_board_json(text.c_str());
        RowSink sink;
        EXPECT_EQ(feed(packet_of(MES_4, 100), sink), 0) << text.substr(0, 40);
        EXPECT_EQ(rows_of(sink), (reference[{MES_4, 100}])) << text.substr(0, 40);
    }
    for (const std::string& text : wrong_type) {
        set_board_json(text.c_str());
        for (const Family& f : families) {
            release();
            RowSink sink;
            EXPECT_EQ(feed(packet_of(f.type, 1), sink), PALVEX_ERR_NO_DESCRIPTOR) << text.substr(0, 40);
            EXPECT_EQ(sink.size(), 0u);
        }
        expect_recovers(IMP_3, text.substr(0, 40));
    }
}

struct Mutation {
    const char* key;
    std::optional<const char*> value;  // JSON text; nullopt removes the key
    unsigned refused_by;
    std::size_t num_rows = 32;  // row length when accepted
};

// One key of the default descriptor changed at a time. Which families refuse
// follows from which keys each family reads: every family reads the row
// length, the packet number and battery columns, "other_channels" and, for
// the framing, both PPG keys; the channel groups only where the family has
// them.
TEST_F(Hostile, EveryKeyOfEveryWrongShapeIsRefusedByTheFamiliesThatReadIt) {
    const Mutation cases[] = {
        {"num_rows", std::nullopt, ALL},
        {"num_rows", "\"32\"", ALL},
        {"num_rows", "null", ALL},
        {"num_rows", "[32]", ALL},
        {"num_rows", "{\"n\": 32}", ALL},
        {"num_rows", "0", ALL},
        {"num_rows", "-1", ALL},
        {"num_rows", "-2147483648", ALL},
        {"num_rows", "31.99", ALL},  // 31: the raw-PPG column 31 lies outside
        {"num_rows", "32.5", NONE, 32},
        {"num_rows", "65536", NONE, 65536},
        {"num_rows", "65537", ALL},
        {"num_rows", "2147483647", ALL},
        {"num_rows", "4294967328", NONE, 32},  // 2^32 + 32: the low 32 bits count
        {"num_rows", "1e10", ALL},
        {"num_rows", "true", ALL},
        {"num_rows", "false", ALL},
        {"package_num_channel", std::nullopt, ALL},
        {"package_num_channel", "\"26\"", ALL},
        {"package_num_channel", "null", ALL},
        {"package_num_channel", "-1", ALL},
        {"package_num_channel", "32", ALL},
        {"package_num_channel", "26.7", NONE},
        {"package_num_channel", "4294967322", NONE},
        {"battery_channel", std::nullopt, ALL},
        {"battery_channel", "\"27\"", ALL},
        {"battery_channel", "[27]", ALL},
        {"battery_channel", "-1", ALL},
        {"battery_channel", "32", ALL},
        {"battery_channel", "27.5", NONE},
        {"exg_channels", std::nullopt, EXG_READERS},
        {"exg_channels", "3", EXG_READERS},
        {"exg_channels", "\"0\"", EXG_READERS},
        {"exg_channels", "null", EXG_READERS},
        {"exg_channels", "{}", EXG_READERS},
        {"exg_channels", "[]", NONE},
        {"exg_channels", "[-1]", EXG_READERS},
        {"exg_channels", "[32]", EXG_READERS},
        {"exg_channels", "[\"0\"]", EXG_READERS},
        {"exg_channels", "[null]", EXG_READERS},
        {"exg_channels", "[0.9]", NONE},
        {"exg_channels", "[0, 1, 2, 3, 4, 5, 6, 7, 99]", NONE},  // past the group's width: never written
        {"exg_channels", "[0, 1, 2, 3, 4, 5, 6, 7, \"x\"]", EXG_READERS},
        {"accel_channels", std::nullopt, EXG_READERS},
        {"accel_channels", "[8, 9, 32]", EXG_READERS},
        {"gyro_channels", "[11, -12]", EXG_READERS},
        {"gyro_channels", "[11, 12, 13, 1000]", NONE},
        {"resistance_channels", std::nullopt, W | I3},
        {"resistance_channels", "[-1]", W | I3},
        {"resistance_channels", "14", W | I3},
        {"resistance_channels", "[14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 40]", NONE},
        {"ppg_channels", std::nullopt, M4},
        {"ppg_channels", "null", M4},
        {"ppg_channels", "3", M4},               // a single column frames, MES_4 needs a list
        {"ppg_channels", "true", M4},
        {"ppg_channels", "{}", M4},
        {"ppg_channels", "{\"a\": 24}", M4},
        {"ppg_channels", "\"a\"", ALL},
        {"ppg_channels", "[-1]", ALL},
        {"ppg_channels", "[32]", ALL},
        {"ppg_channels", "[\"a\"]", ALL},
        {"ppg_channels", "{\"a\": 40}", ALL},
        {"ppg_raw_channels", std::nullopt, M5},
        {"ppg_raw_channels", "31", M5},
        {"ppg_raw_channels", "[24, 25, 32]", ALL},
        {"ppg_raw_channels", "[24, 25, 31, 40]", ALL},  // the framing reads every value
        {"other_channels", std::nullopt, ALL},
        {"other_channels", "28", ALL},
        {"other_channels", "[]", ALL},
        {"other_channels", "[28]", ALL},
        {"other_channels", "[\"x\", 30]", EXG_READERS},  // IMP_3 reads only the second entry
        {"other_channels", "[28, \"x\"]", ALL},
        {"other_channels", "[28, 32]", ALL},
        {"other_channels", "[28.5, 30]", NONE},
        {"other_channels", "[28, 30, 31]", NONE},
        {"other_channels", "[28, 30, 31, \"x\"]", M2 | M4 | M5},  // nibble columns: MES only
        {"other_channels", "[28, 30, -1, 31]", M2 | M4 | M5},
        {"unknown_key", "{\"deep\": [1, 2, {\"x\": null}]}", NONE},
    };
    const json base = json::parse(default_descriptor_json());
    for (const Mutation& m : cases) {
        json d = base;
        if (m.value) d[m.key] = json::parse(*m.value);
        else d.erase(m.key);
        const std::string what = std::string(m.key) + " = " + (m.value ? *m.value : "(absent)");
        set_board_json(d.dump().c_str());
        for (const Family& f : families) {
            release();
            RowSink sink;
            const bool refused = (m.refused_by & f.bit) != 0;
            EXPECT_EQ(feed(packet_of(f.type, 10), sink), refused ? PALVEX_ERR_NO_DESCRIPTOR : 0)
                << what << ", family " << f.type;
            EXPECT_EQ(sink.size(), refused ? 0u : 2u) << what << ", family " << f.type;
            expect_well_formed(sink, m.num_rows, what);
        }
        expect_recovers(families[static_cast<std::size_t>(&m - cases) % 5].type, what);
    }
}

// ---------------------------------------------------------------------------
// Buffers

Bytes hostile_buffer(std::uint16_t type_word, std::size_t length) {
    Bytes b(length, 0xA5);  // equal packet numbers in both samples: no fillers when decoded
    if (length > 0) b[0] = static_cast<std::uint8_t>(type_word & 0xFF);
    if (length > 1) b[1] = static_cast<std::uint8_t>(type_word >> 8);
    return b;
}

std::optional<COMM_TYPE> family_of_word(std::uint16_t word) {
    switch (word) {
        case 2: return MES_2;
        case 3: return IMP_3;
        case 4: return MES_4;
        case 5: return MES_5;
        default: return std::nullopt;
    }
}

constexpr std::size_t longest = 300;
const std::uint16_t type_words[] = {0, 1, 2, 3, 4, 5, 6, 0x7FFF, 0x8000, 0xFFFF};

// A fresh library: which code, how many rows, for every length after every
// type word (a 216-byte buffer is WUA2 and a 5-byte one a confirmation,
// whatever they begin with).
TEST_F(Hostile, EveryLengthAfterEveryTypeWordFromAFreshState) {
    for (const std::uint16_t word : type_words) {
        for (std::size_t length = 0; length <= longest; ++length) {
            int32_t code = PALVEX_ERR_UNKNOWN_TYPE;
            std::size_t rows = 0;
            if (length == 5) code = 0;
            else if (length == 216) code = 0, rows = 2;
            else if (length < 2) code = PALVEX_ERR_UNKNOWN_TYPE;
            else if (word == 0) code = 0;
            else if (const auto family = family_of_word(word)) {
                const bool whole = length == buffer_length(*family);
                code = whole ? 0 : PALVEX_ERR_PACKET_SIZE;
                rows = whole ? 2 : 0;
            }
            const std::string what = "type word " + std::to_string(word) + ", " + std::to_string(length) + " bytes";
            release();
            RowSink sink;
            EXPECT_EQ(feed(hostile_buffer(word, length), sink), code) << what;
            EXPECT_EQ(sink.size(), rows) << what;
            expect_well_formed(sink, 32, what);
            // The next valid buffer, of any family, decodes as it would have.
            const COMM_TYPE next = families[length % 5].type;
            const std::size_t before = sink.size();
            EXPECT_EQ(feed(packet_of(next, 100), sink), 0) << what;
            EXPECT_EQ(rows_of(sink, before), (reference[{next, 100}])) << what;
        }
    }
}

// A decoder of each family exists: a buffer of its own type word but the
// wrong length, an unknown type word or type word 0 must leave its packet
// numbering untouched, so the next packet follows on without fillers.
TEST_F(Hostile, EveryLengthAfterEveryTypeWordLeavesAnExistingDecoderIntact) {
    for (const Family& f : families) {
        for (const std::uint16_t word : {f.type_word, std::uint16_t{0}, std::uint16_t{6}, std::uint16_t{0x8000}}) {
            for (std::size_t length = 0; length <= longest; ++length) {
                int32_t code = PALVEX_ERR_UNKNOWN_TYPE;
                std::size_t rows = 0;
                if (length == 5) code = 0;
                else if (length == 216) code = 0, rows = 2;
                else if (length < 2) code = PALVEX_ERR_UNKNOWN_TYPE;
                else if (word == 0) code = 0;
                else if (word == f.type_word) {
                    const bool whole = length == buffer_length(f.type);
                    code = whole ? 0 : PALVEX_ERR_PACKET_SIZE;
                    rows = whole ? 2 : 0;
                }
                const std::string what = "decoder " + std::to_string(f.type) + ", type word " +
                                         std::to_string(word) + ", " + std::to_string(length) + " bytes";
                release();
                RowSink sink;
                ASSERT_EQ(feed(packet_of(f.type, 10), sink), 0);
                EXPECT_EQ(feed(hostile_buffer(word, length), sink), code) << what;
                EXPECT_EQ(sink.size(), 2 + rows) << what;
                EXPECT_EQ(feed(packet_of(f.type, 12), sink), 0) << what;
                ASSERT_EQ(sink.size(), 4 + rows) << what;  // no fillers, nothing dropped
                EXPECT_EQ(rows_of(sink, 2 + rows), (reference[{f.type, 12}])) << what;
                expect_well_formed(sink, 32, what);
            }
        }
    }
}

TEST_F(Hostile, NullBufferOfAnyLengthIsRefusedAndChangesNothing) {
    RowSink sink;
    ASSERT_EQ(feed(packet_of(MES_5, 10), sink), 0);
    for (const std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{81},
                                     std::size_t{216}, SIZE_MAX}) {
        EXPECT_EQ(interpret_data_fn(nullptr, length, &RowSink::collect, &sink), PALVEX_ERR_UNKNOWN_TYPE) << length;
        EXPECT_EQ(interpret_data_fn(nullptr, length, nullptr, nullptr), PALVEX_ERR_UNKNOWN_TYPE) << length;
    }
    ASSERT_EQ(feed(packet_of(MES_5, 12), sink), 0);
    EXPECT_EQ(sink.column(26), (std::vector<double>{10, 11, 12, 13}));
}

}  // namespace
