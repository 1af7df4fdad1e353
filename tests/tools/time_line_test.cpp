// Where palvex-decode places a board's rows in time: by packet number, so
// what the host never received keeps its place, and a counter that does not
// follow on (as the library judges it) starts the time line over.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "palvex/palvex.h"
#include "time_line.h"

using namespace palvex_tools;

namespace {

struct Row {
    double number;
    bool filler;
};

struct Span {
    std::uint64_t start, length, lost;
    bool operator==(const Span& o) const { return start == o.start && length == o.length && lost == o.lost; }
};

std::ostream& operator<<(std::ostream& out, const Span& r) {
    return out << "{" << r.start << ", " << r.length << ", lost " << r.lost << "}";
}

struct Case {
    const char* name;
    std::vector<Row> rows;
    std::vector<std::uint64_t> indices;
    std::vector<Span> runs;  // as they end, the one open at the end last
    std::vector<std::uint64_t> restarts_at;
};

std::vector<Row> decoded(double from, double to) {
    std::vector<Row> out;
    for (double n = from; n <= to; ++n) out.push_back({n, false});
    return out;
}
std::vector<Row> fillers(double from, double to) {
    std::vector<Row> out;
    for (double n = from; n <= to; ++n) out.push_back({n, true});
    return out;
}
std::vector<Row> join(std::initializer_list<std::vector<Row>> parts) {
    std::vector<Row> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
std::vector<std::uint64_t> range(std::uint64_t from, std::uint64_t to) {
    std::vector<std::uint64_t> out;
    for (std::uint64_t i = from; i <= to; ++i) out.push_back(i);
    return out;
}
std::vector<std::uint64_t> cat(std::initializer_list<std::vector<std::uint64_t>> parts) {
    std::vector<std::uint64_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

constexpr double bound = PALVEX_MAX_FILLED_ROWS;

TEST(TimeLine, RowsSitAtTheirPacketNumbersAndLossesAreRunsOverWhatIsMissing) {
    const Case cases[] = {
        // Packet 6 (rows 12, 13) lost: the library fills 12 and 13, then 14 on arrive.
        {"a lost packet", join({decoded(10, 11), fillers(12, 13), decoded(14, 17)}), range(0, 7), {{2, 2, 1}}, {}},
        {"three lost packets in a row", join({decoded(1, 2), fillers(3, 8), decoded(9, 10)}), range(0, 9),
         {{2, 6, 3}}, {}},
        {"every other packet lost", join({decoded(1, 2), fillers(3, 4), decoded(5, 6), fillers(7, 8), decoded(9, 10)}),
         range(0, 9), {{2, 2, 1}, {6, 2, 1}}, {}},
        {"a gap found at a packet's second sample", join({decoded(18, 20), fillers(21, 22), decoded(23, 25)}),
         range(0, 7), {{3, 2, 1}}, {}},
        {"one number missing", join({decoded(10, 11), fillers(12, 12), decoded(13, 14)}), range(0, 4), {{2, 1, 1}}, {}},
        // A hole the library did not fill (after a row numbered 0 it checks nothing).
        {"a hole without fillers", join({decoded(5, 6), decoded(9, 10)}), {0, 1, 4, 5}, {{2, 2, 1}}, {}},
        {"a loss at the very end", join({decoded(10, 11), fillers(12, 15)}), range(0, 5), {{2, 4, 2}}, {}},
        {"a filler first", join({fillers(7, 8), decoded(9, 9)}), range(0, 2), {{0, 2, 1}}, {}},
        {"a counter restart", join({decoded(100, 101), decoded(3, 4)}), range(0, 3), {}, {2}},
        {"the same packet twice", join({decoded(5, 6), decoded(5, 6)}), range(0, 3), {}, {2}},
        // The library compares numbers modulo 2^32: past the top they follow on.
        {"numbers wrapping at 2^32", join({decoded(4294967294.0, 4294967295.0), decoded(0, 1)}), range(0, 3), {}, {}},
        {"a jump the library fills", join({decoded(10, 11), decoded(12 + bound, 12 + bound)}),
         {0, 1, 2 + static_cast<std::uint64_t>(bound)}, {{2, static_cast<std::uint64_t>(bound), 524288}}, {}},
        {"a jump beyond the library's bound", join({decoded(10, 11), decoded(13 + bound, 13 + bound)}), range(0, 2), {},
         {2}},
        // A restart in the middle of a run ends it where the time line stops.
        {"a restart ends a run", join({decoded(10, 11), fillers(12, 15), decoded(1, 2)}), range(0, 7),
         {{2, 4, 2}}, {6}},
    };
    for (const Case& c : cases) {
        TimeLine t;
        std::vector<std::uint64_t> indices, restarts_at;
        std::vector<Span> runs;
        const auto take = [&](const std::optional<LossRun>& r) {
            if (r) runs.push_back({r->start, r->length, r->lost_packets});
        };
        for (const Row& r : c.rows) {
            const Place p = t.place(r.number, r.filler);
            indices.push_back(p.index);
            if (p.restart) restarts_at.push_back(p.index);
            take(t.take_ended());
        }
        take(t.finish());
        EXPECT_EQ(indices, c.indices) << c.name;
        EXPECT_EQ(runs, c.runs) << c.name;
        EXPECT_EQ(restarts_at, c.restarts_at) << c.name;
        // The summary's counts are the runs' sums.
        std::uint64_t lost = 0, filled = 0;
        for (const Span& r : runs) lost += r.lost;
        for (const Row& r : c.rows) filled += r.filler;
        EXPECT_EQ(t.lost_packets(), lost) << c.name;
        EXPECT_EQ(t.fillers(), filled) << c.name;
        EXPECT_EQ(t.rows(), c.rows.size()) << c.name;
        EXPECT_EQ(t.span(), c.indices.back() + 1) << c.name;
    }
}

TEST(TimeLine, ARestartNamesBothNumbers) {
    TimeLine t;
    t.place(4000000000.0, false);
    const Place p = t.place(7, false);
    EXPECT_TRUE(p.restart);
    EXPECT_EQ(p.from, 4000000000u);
    EXPECT_EQ(p.to, 7u);
    EXPECT_EQ(t.restarts(), 1u);
    EXPECT_EQ(t.first_number(), 4000000000u);
    EXPECT_EQ(t.last_number(), 7u);
}

}  // namespace
