// Packet-number tracking: one filler row for each missing number and nothing
// else, the arrived packets kept whole, and the bound that tells a loss from
// a corrupted counter.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "loss_cases.h"

using namespace palvex_test;

namespace {

constexpr int package_num = loss_number_column, filler = loss_filler_column;
constexpr int battery = 27, format_code = 30;

class LossAccounting : public ::testing::Test {
protected:
    void SetUp() override {
        release();
        set_board_json(default_descriptor_json().c_str());
    }
    int32_t send(std::uint32_t a, std::uint32_t b) { return feed(numbered(a, b), sink); }
    std::vector<double> numbers() const { return sink.column(package_num); }

    RowSink sink;
};

TEST_F(LossAccounting, EveryCaseGivesExactlyItsRows) {
    for (const LossCase& c : loss_cases()) {
        const Rows own = own_rows(c);
        sink.deliveries.clear();
        for (std::size_t i = 0; i < c.buffers.size(); ++i) EXPECT_EQ(feed(c.buffers[i], sink), c.result(i)) << c.name << ", buffer " << i;
        Rows got;
        for (const Delivery& d : sink.deliveries) got.push_back(d.row);
        EXPECT_TRUE(holds_case(c, own, got)) << c.name;
        release();
    }
}

// A board counting from 0 or 1: the fillers copy a real row, battery and
// format code included, never a row of zeros.
TEST_F(LossAccounting, FillersAfterTheFirstRowsCopyThem) {
    for (const std::uint32_t first : {0u, 1u}) {
        release();
        sink.deliveries.clear();
        ASSERT_EQ(send(first, first + 1), 0);
        ASSERT_EQ(send(first + 4, first + 5), 0);
        ASSERT_EQ(numbers(), run_of(first, first + 5));
        for (const std::size_t i : {2u, 3u}) {
            EXPECT_EQ(sink.row(i)[filler], 1.0);
            EXPECT_EQ(sink.row(i)[battery], 60.0 + first % 37) << first;
            EXPECT_EQ(sink.row(i)[format_code], 4.0) << first;
        }
    }
}

// With "filler_channel" (column 32 of the default descriptor) the library
// marks every row by how it came about: a board whose channels never change
// is told apart from a run of fillers. Without the key the column is left
// alone like any column no group names.
TEST_F(LossAccounting, FillerChannelMarksFillersAndNothingElse) {
    const auto flat = [](std::uint32_t a) {  // every channel constant, only the numbers move
        MesPacket p;
        p.sample[0].package_num = a;
        p.sample[1].package_num = a + 1;
        return build(p);
    };
    const auto send_flat = [&] {
        release();
        sink.deliveries.clear();
        for (const std::uint32_t first : {10u, 12u, 16u, 18u, 20u, 30u, 32u, 34u}) ASSERT_EQ(feed(flat(first), sink), 0);
    };
    send_flat();
    ASSERT_EQ(numbers(), run_of(10, 35));
    std::vector<double> expected_filler;
    for (const double n : numbers()) expected_filler.push_back((n >= 14 && n <= 15) || (n >= 22 && n <= 29));
    EXPECT_EQ(sink.column(filler), expected_filler);

    nlohmann::json descriptor = nlohmann::json::parse(default_descriptor_json());
    descriptor.erase("filler_channel");
    set_board_json(descriptor.dump().c_str());
    send_flat();
    ASSERT_EQ(numbers(), run_of(10, 35));
    EXPECT_EQ(sink.column(filler), std::vector<double>(26, 0.0));
}

// A wrong length is refused before anything else is looked at, so the same
// buffer gives 1 whatever the decoder went through before.
TEST_F(LossAccounting, WrongLengthIsRefusedInEveryState) {
    const Bytes wrong = shortened(numbered(100, 101));
    const Bytes confirmation(5, 0);
    // A new decoder with no context: the length is checked before the context.
    EXPECT_EQ(interpret_data_fn(wrong.data(), wrong.size(), &RowSink::collect, nullptr), PALVEX_ERR_PACKET_SIZE);
    EXPECT_EQ(interpret_data_fn(confirmation.data(), confirmation.size(), &RowSink::collect, nullptr), 0);
    EXPECT_EQ(feed(numbered(1, 2), sink), PALVEX_ERR_NO_CONTEXT);
    release();
    EXPECT_EQ(feed(wrong, sink), PALVEX_ERR_PACKET_SIZE);  // before the first row
    send(10, 11);
    EXPECT_EQ(feed(wrong, sink), PALVEX_ERR_PACKET_SIZE);  // tracking
    send(14, 15);
    EXPECT_EQ(feed(wrong, sink), PALVEX_ERR_PACKET_SIZE);  // right after a gap
    send(16, 0);
    EXPECT_EQ(feed(wrong, sink), PALVEX_ERR_PACKET_SIZE);  // after a row numbered 0
    EXPECT_EQ(numbers(), (std::vector<double>{10, 11, 12, 13, 14, 15, 16, 0}));
}

// Gaps up to the bound are losses; past it the jump is a discontinuity.
TEST_F(LossAccounting, GapAtTheBoundIsFilled) {
    CapturedLog log;
    set_logger(log.logger.get());
    send(10, 11);
    const std::uint32_t next = 11 + PALVEX_MAX_FILLED_ROWS + 1;
    send(next, next + 1);
    // 2^20 missing numbers, then the packet's own two rows.
    ASSERT_EQ(sink.size(), 2u + PALVEX_MAX_FILLED_ROWS + 2u);
    EXPECT_EQ(sink.row(2)[package_num], 12.0);
    EXPECT_EQ(sink.row(1 + PALVEX_MAX_FILLED_ROWS)[package_num], static_cast<double>(next - 1));
    EXPECT_EQ(sink.row(1 + PALVEX_MAX_FILLED_ROWS)[filler], 1.0);
    EXPECT_EQ(sink.row(2 + PALVEX_MAX_FILLED_ROWS)[package_num], static_cast<double>(next));
    EXPECT_EQ(sink.row(2 + PALVEX_MAX_FILLED_ROWS)[filler], 0.0);
    EXPECT_EQ(log.count("discontinuity"), 0u);
    send(next + 2, next + 3);  // decoded: nothing is dropped after a gap
    EXPECT_EQ(sink.size(), 2u + PALVEX_MAX_FILLED_ROWS + 4u);
}

TEST_F(LossAccounting, GapOneAboveTheBoundIsADiscontinuity) {
    CapturedLog log;
    set_logger(log.logger.get());
    send(10, 11);
    const std::uint32_t next = 11 + PALVEX_MAX_FILLED_ROWS + 2;
    send(next, next + 1);
    send(next + 2, next + 3);  // tracked from the new number
    send(next + 5, next + 6);  // a real loss after it is filled as usual
    EXPECT_EQ(numbers(), (std::vector<double>{10, 11, double(next), double(next + 1), double(next + 2),
                                              double(next + 3), double(next + 4), double(next + 5),
                                              double(next + 6)}));
    EXPECT_EQ(sink.column(filler), (std::vector<double>{0, 0, 0, 0, 0, 0, 1, 0, 0}));
    ASSERT_EQ(log.count("discontinuity"), 1u);
    EXPECT_EQ(log.count("jumped from 11 to " + std::to_string(next)), 1u);
    EXPECT_EQ(log.count("warning|"), 1u);
}

// The largest forward jump a signed 32-bit difference can hold.
TEST_F(LossAccounting, LargestJumpFillsNothing) {
    send(10, 11);
    const std::uint32_t next = 11u + 0x7FFFFFFFu;
    EXPECT_EQ(send(next, next + 1), 0);
    EXPECT_EQ(numbers(), (std::vector<double>{10, 11, double(next), double(next + 1)}));
}

}  // namespace
