// Hostile input through the exports: descriptors of every wrong shape and
// buffers of every length behind every type word. Whatever arrives, the
// result is a documented code, only the rows that should come are
// delivered, and the next valid buffer decodes exactly as in a fresh
// library.
#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <optional>
#include <string>

#include "../api/descriptor_variants.h"
#include "../api/host.h"

using namespace palvex_test;

namespace {

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

// Every variant of the shared table, for every family.
TEST_F(Hostile, EveryKeyOfEveryWrongShapeIsRefusedByTheFamiliesThatReadIt) {
    const std::vector<DescriptorVariant>& cases = descriptor_variants();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const DescriptorVariant& m = cases[i];
        const std::string what = m.describe();
        set_board_json(m.json().c_str());
        for (const Family& f : families) {
            release();
            RowSink sink;
            const bool refused = (m.refused_by & f.bit) != 0;
            EXPECT_EQ(feed(packet_of(f.type, 10), sink), refused ? PALVEX_ERR_NO_DESCRIPTOR : 0)
                << what << ", family " << f.type;
            EXPECT_EQ(sink.size(), refused ? 0u : 2u) << what << ", family " << f.type;
            expect_well_formed(sink, m.num_rows, what);
        }
        expect_recovers(families[i % 5].type, what);
    }
}

// ---------------------------------------------------------------------------
// Buffers

constexpr std::size_t longest = 300;
const std::uint16_t type_words[] = {0, 1, 2, 3, 4, 5, 6, 0x7FFF, 0x8000, 0xFFFF};

// A buffer as the library sees it: its length, its type word, and the
// family that type word selects in the state at hand (the five words of
// the families in a fresh library; an existing decoder's own word only).
struct Probe {
    std::size_t length;
    std::uint16_t word;
    std::optional<COMM_TYPE> selected;
};

struct Outcome {
    int32_t code;
    std::size_t rows;
};

// What the library answers, first matching rule first.
struct Rule {
    const char* when;
    bool (*matches)(const Probe&);
    Outcome outcome;
};
const Rule rules[] = {
    {"5 bytes: a confirmation, whatever it begins with", [](const Probe& p) { return p.length == 5; }, {0, 0}},
    {"216 bytes: WUA2, whatever it begins with", [](const Probe& p) { return p.length == 216; }, {0, 2}},
    {"no whole type word", [](const Probe& p) { return p.length < 2; }, {PALVEX_ERR_UNKNOWN_TYPE, 0}},
    {"type word 0: nothing to decode", [](const Probe& p) { return p.word == 0; }, {0, 0}},
    {"a whole packet of the selected family",
     [](const Probe& p) { return p.selected && p.length == buffer_length(*p.selected); }, {0, 2}},
    {"the selected family, the wrong length", [](const Probe& p) { return p.selected.has_value(); },
     {PALVEX_ERR_PACKET_SIZE, 0}},
    {"any other type word", [](const Probe&) { return true; }, {PALVEX_ERR_UNKNOWN_TYPE, 0}},
};

const Rule& rule_for(const Probe& p) {
    for (const Rule& r : rules)
        if (r.matches(p)) return r;
    return rules[std::size(rules) - 1];
}

std::optional<COMM_TYPE> family_of_word(std::uint16_t word) {
    for (const Family& f : families)
        if (f.type_word == word && f.type != WUA2) return f.type;
    return std::nullopt;
}

// A fresh library: which code, how many rows, for every length after every
// type word.
TEST_F(Hostile, EveryLengthAfterEveryTypeWordFromAFreshState) {
    for (const std::uint16_t word : type_words) {
        for (std::size_t length = 0; length <= longest; ++length) {
            const Rule& rule = rule_for({length, word, family_of_word(word)});
            const Outcome want = rule.outcome;
            const std::string what = "type word " + std::to_string(word) + ", " + std::to_string(length) +
                                     " bytes (" + rule.when + ")";
            release();
            RowSink sink;
            EXPECT_EQ(feed(typed_buffer(word, length), sink), want.code) << what;
            EXPECT_EQ(sink.size(), want.rows) << what;
            expect_well_formed(sink, default_row_length, what);
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
                const std::optional<COMM_TYPE> selected =
                    word == f.type_word ? std::optional<COMM_TYPE>(f.type) : std::nullopt;
                const Rule& rule = rule_for({length, word, selected});
                const Outcome want = rule.outcome;
                const std::string what = "decoder " + std::to_string(f.type) + ", type word " +
                                         std::to_string(word) + ", " + std::to_string(length) + " bytes (" +
                                         rule.when + ")";
                release();
                RowSink sink;
                ASSERT_EQ(feed(packet_of(f.type, 10), sink), 0);
                EXPECT_EQ(feed(typed_buffer(word, length), sink), want.code) << what;
                EXPECT_EQ(sink.size(), 2 + want.rows) << what;
                EXPECT_EQ(feed(packet_of(f.type, 12), sink), 0) << what;
                ASSERT_EQ(sink.size(), 4 + want.rows) << what;  // no fillers, nothing dropped
                EXPECT_EQ(rows_of(sink, 2 + want.rows), (reference[{f.type, 12}])) << what;
                expect_well_formed(sink, default_row_length, what);
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
