// The row buffer on one thread, through rows.h: what it keeps, in which
// order, what it refuses and how it counts losses.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>

#include "rows_host.h"

using namespace palvex_rows_test;

// The sanitizers' allocators end the process on a request they cannot
// serve; here such a request must come back as null, as it does elsewhere.
// Options from the environment still apply after these. Visible, since the
// program's symbols are hidden by default and the runtime looks them up.
#define PALVEX_SANITIZER_HOOK extern "C" __attribute__((visibility("default"))) const char*
PALVEX_SANITIZER_HOOK __asan_default_options() { return "allocator_may_return_null=1"; }
PALVEX_SANITIZER_HOOK __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

struct ShapeCase {
    const char* name;
    std::size_t row_length;
    std::size_t capacity;
};

TEST(RowBuffer, CreateRefusesWhatCannotBeHeld) {
    const ShapeCase refused[] = {
        {"no columns", 0, 100},
        {"no rows", 32, 0},
        {"neither", 0, 0},
        {"rows x columns overflow", SIZE_MAX / 2, 3},
        {"bytes overflow although rows x columns do not", std::size_t{1} << 61, 1},
        {"addressable but beyond any memory (8 PiB)", std::size_t{1} << 20, std::size_t{1} << 30},
    };
    for (const ShapeCase& c : refused) {
        palvex_rows* buffer = palvex_rows_create(c.row_length, c.capacity);
        EXPECT_EQ(buffer, nullptr) << c.name;
        palvex_rows_destroy(buffer);
    }
}

TEST(RowBuffer, NewBufferIsEmptyWithItsShape) {
    for (const ShapeCase& c : {ShapeCase{"one by one", 1, 1}, ShapeCase{"default descriptor", 32, 100000}}) {
        Buffer b(c.row_length, c.capacity);
        ASSERT_NE(b.get(), nullptr) << c.name;
        EXPECT_EQ(palvex_rows_row_length(b.get()), c.row_length) << c.name;
        EXPECT_EQ(palvex_rows_capacity(b.get()), c.capacity) << c.name;
        EXPECT_EQ(b.count(), 0u) << c.name;
        EXPECT_EQ(b.overwritten(), 0u) << c.name;
        EXPECT_EQ(b.refused(), 0u) << c.name;
        EXPECT_TRUE(b.take(10).empty()) << c.name;
    }
}

TEST(RowBuffer, NullPointersAreRefusedWithoutEffect) {
    const std::vector<double> row = numbered_row(4, 1);
    std::vector<double> out(4 * 8, -1.0);
    palvex_rows_callback(nullptr, row.data(), row.size());
    palvex_rows_destroy(nullptr);
    EXPECT_EQ(palvex_rows_take(nullptr, out.data(), 8), 0u);
    EXPECT_EQ(palvex_rows_peek_newest(nullptr, out.data(), 8), 0u);
    EXPECT_EQ(palvex_rows_count(nullptr), 0u);
    EXPECT_EQ(palvex_rows_overwritten(nullptr), 0u);
    EXPECT_EQ(palvex_rows_refused(nullptr), 0u);
    EXPECT_EQ(palvex_rows_row_length(nullptr), 0u);
    EXPECT_EQ(palvex_rows_capacity(nullptr), 0u);
    EXPECT_EQ(out, std::vector<double>(4 * 8, -1.0));

    // A null output array or no room in it takes nothing away.
    Buffer b(4, 8);
    for (std::uint64_t s = 0; s < 3; ++s) b.append(s);
    EXPECT_EQ(palvex_rows_take(b.get(), nullptr, 8), 0u);
    EXPECT_EQ(palvex_rows_peek_newest(b.get(), nullptr, 8), 0u);
    EXPECT_EQ(palvex_rows_take(b.get(), out.data(), 0), 0u);
    EXPECT_EQ(palvex_rows_peek_newest(b.get(), out.data(), 0), 0u);
    EXPECT_EQ(out, std::vector<double>(4 * 8, -1.0));
    EXPECT_EQ(b.take(8), consecutive(0, 3));
}

TEST(RowBuffer, RowsOfAnotherLengthAreCountedNotStored) {
    constexpr std::size_t width = 32;
    Buffer b(width, 16);
    const std::vector<double> longer = numbered_row(2 * width, 90);
    struct Refused {
        const char* name;
        const double* row;
        std::size_t count;
    } refused[] = {
        {"empty", longer.data(), 0},
        {"one short", longer.data(), width - 1},
        {"one long", longer.data(), width + 1},
        {"twice the length", longer.data(), 2 * width},
        {"null row of the right length", nullptr, width},
        {"null and empty", nullptr, 0},
    };
    b.append(0);
    for (const Refused& r : refused) palvex_rows_callback(b.get(), r.row, r.count);
    b.append(1);
    EXPECT_EQ(b.refused(), std::size(refused));
    EXPECT_EQ(b.overwritten(), 0u);
    EXPECT_EQ(b.take(16), consecutive(0, 2));  // the good rows, nothing between them
}

TEST(RowBuffer, FullBufferKeepsTheNewestAndCountsTheRest) {
    Buffer b(3, 4);
    for (std::uint64_t s = 0; s < 10; ++s) b.append(s);
    EXPECT_EQ(b.count(), 4u);
    EXPECT_EQ(b.overwritten(), 6u);
    EXPECT_EQ(b.take(2), consecutive(6, 2));
    for (std::uint64_t s = 10; s < 13; ++s) b.append(s);  // two fit, one overwrites row 8
    EXPECT_EQ(b.overwritten(), 7u);
    EXPECT_EQ(b.take(100), consecutive(9, 4));
    EXPECT_EQ(b.count(), 0u);
    EXPECT_EQ(b.overwritten(), 7u);  // taking loses nothing
}

TEST(RowBuffer, PeekNewestLeavesEverythingInPlace) {
    // Rows 5..10 in a ring of 8 whose oldest row sits near its end, so the
    // newest rows wrap around the storage.
    Buffer b(5, 8);
    for (std::uint64_t s = 0; s < 11; ++s) b.append(s);
    ASSERT_EQ(b.take(2), consecutive(3, 2));
    ASSERT_EQ(b.count(), 6u);
    const struct {
        std::size_t n;
        std::vector<std::uint64_t> expected;
    } cases[] = {
        {1, {10}}, {2, {9, 10}}, {5, consecutive(6, 5)}, {6, consecutive(5, 6)}, {7, consecutive(5, 6)}, {1000, consecutive(5, 6)},
    };
    for (const auto& c : cases) EXPECT_EQ(b.peek(c.n), c.expected) << "newest " << c.n;
    EXPECT_EQ(b.count(), 6u);
    EXPECT_EQ(b.take(100), consecutive(5, 6));
    EXPECT_TRUE(b.peek(3).empty());
}

// A queue that drops its front beyond `capacity` is what the ring must
// behave like, from every position of its oldest row and with every block
// size, overwriting or not.
TEST(RowBuffer, BehavesLikeABoundedQueueAtEveryWrapPosition) {
    std::mt19937 random(20240611);
    for (std::size_t capacity : {1, 2, 3, 7, 64}) {
        Buffer b(3, capacity);
        std::deque<std::uint64_t> model;
        std::uint64_t next = 0, overwritten = 0;
        std::uniform_int_distribution<std::size_t> amount(0, 2 * capacity + 1);
        for (int step = 0; step < 2000; ++step) {
            const std::size_t n = amount(random);
            switch (random() % 3) {
            case 0:
                for (std::size_t i = 0; i < n; ++i) {
                    b.append(next);
                    model.push_back(next++);
                    if (model.size() > capacity) {
                        model.pop_front();
                        ++overwritten;
                    }
                }
                break;
            case 1: {
                const std::size_t k = std::min(n, model.size());
                ASSERT_EQ(b.take(n), std::vector<std::uint64_t>(model.begin(), model.begin() + k))
                    << "capacity " << capacity << " step " << step;
                model.erase(model.begin(), model.begin() + k);
                break;
            }
            default: {
                const std::size_t k = std::min(n, model.size());
                ASSERT_EQ(b.peek(n), std::vector<std::uint64_t>(model.end() - k, model.end()))
                    << "capacity " << capacity << " step " << step;
            }
            }
            ASSERT_EQ(b.count(), model.size());
            ASSERT_EQ(b.overwritten(), overwritten);
        }
    }
}

}  // namespace
