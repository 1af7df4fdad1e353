// Packet-number tracking: filler rows for lost packets, the dropped buffer
// after a gap, and the bound that tells a loss from a corrupted counter.
#include <gtest/gtest.h>

#include <chrono>

#include <nlohmann/json.hpp>

#include "host.h"

using namespace palvex_test;

namespace {

constexpr int package_num = 26, valid = 29, exg0 = 0;
constexpr int filler = static_cast<int>(default_filler_column);

class LossAccounting : public ::testing::Test {
protected:
    void SetUp() override {
        release();
        set_board_json(default_descriptor_json().c_str());
    }
    // A MES_4 packet whose two samples carry numbers a and b.
    static Bytes packet(std::uint32_t a, std::uint32_t b) {
        MesPacket p;
        p.sample[0].package_num = a;
        p.sample[1].package_num = b;
        p.sample[0].exg[0] = static_cast<std::int32_t>(a % 1000);
        p.sample[1].exg[0] = static_cast<std::int32_t>(b % 1000);
        return build(p);
    }
    int32_t send(std::uint32_t a, std::uint32_t b) { return feed(packet(a, b), sink); }
    std::vector<double> numbers() const { return sink.column(package_num); }

    RowSink sink;
};

TEST_F(LossAccounting, WorkedSequence) {
    ASSERT_EQ(send(10, 11), 0);
    ASSERT_EQ(send(14, 15), 0);
    ASSERT_EQ(send(16, 17), 0);  // dropped, but the host sees success
    ASSERT_EQ(send(18, 19), 0);
    EXPECT_EQ(numbers(), (std::vector<double>{10, 11, 12, 13, 14, 15, 18, 19}));
    // Fillers are copies of row 11 with their own numbers, marked as fillers.
    for (std::size_t i = 2; i < 6; ++i) {
        std::vector<double> expected = sink.row(1);
        expected[package_num] = numbers()[i];
        expected[filler] = 1.0;
        EXPECT_EQ(sink.row(i), expected) << i;
    }
}

TEST_F(LossAccounting, GapFoundAtSecondSample) {
    send(18, 19);
    send(20, 23);
    send(24, 25);  // dropped
    send(26, 27);
    EXPECT_EQ(numbers(), (std::vector<double>{18, 19, 20, 21, 22, 23, 26, 27}));
    EXPECT_EQ(sink.row(3)[exg0], sink.row(2)[exg0]);  // fillers copy row 20
    EXPECT_EQ(sink.row(5)[exg0], sink.row(2)[exg0]);
}

struct SequenceCase {
    const char* name;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> packets;
    std::vector<double> delivered;
};

TEST_F(LossAccounting, SequencesWithoutLoss) {
    const SequenceCase cases[] = {
        {"first row of a decoder is never preceded by fillers", {{500, 501}}, {500, 501}},
        {"same packet twice", {{5, 6}, {5, 6}}, {5, 6, 5, 6}},
        {"counter restart", {{100, 101}, {3, 4}, {5, 6}}, {100, 101, 3, 4, 5, 6}},
        {"number 0 clears the reference", {{7, 0}, {40, 41}}, {7, 0, 40, 41}},
        {"numbers from 2^31 on are tracked like any other",
         {{0x7FFFFFFE, 0x7FFFFFFF}, {0x80000000, 0x80000001}},
         {2147483646.0, 2147483647.0, 2147483648.0, 2147483649.0}},
    };
    for (const SequenceCase& c : cases) {
        release();
        sink.deliveries.clear();
        for (const auto& p : c.packets) ASSERT_EQ(send(p.first, p.second), 0) << c.name;
        EXPECT_EQ(numbers(), c.delivered) << c.name;
    }
}

TEST_F(LossAccounting, FillersBeforeAnyGoodRowAreZeroRows) {
    send(5, 9);  // row 5 is the reference but was never copied
    ASSERT_EQ(numbers(), (std::vector<double>{5, 6, 7, 8, 9}));
    for (std::size_t i = 1; i < 5; ++i) {
        std::vector<double> expected(default_row_length, 0.0);
        expected[package_num] = numbers()[i];
        expected[valid] = 1.0;
        expected[filler] = 1.0;
        EXPECT_EQ(sink.row(i), expected);
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
    // 10-13, fillers 14-17, (18-19 dropped), 20-21, fillers 22-31, (32-33 dropped), 34-35
    std::vector<double> expected_filler;
    for (const double n : numbers()) expected_filler.push_back((n >= 14 && n <= 17) || (n >= 22 && n <= 31));
    ASSERT_EQ(numbers().size(), 22u);
    EXPECT_EQ(sink.column(filler), expected_filler);

    nlohmann::json descriptor = nlohmann::json::parse(default_descriptor_json());
    descriptor.erase("filler_channel");
    set_board_json(descriptor.dump().c_str());
    send_flat();
    ASSERT_EQ(numbers().size(), 22u);
    EXPECT_EQ(sink.column(filler), std::vector<double>(22, 0.0));

    // Outside the row it is refused like any other column.
    descriptor["filler_channel"] = default_row_length;
    set_board_json(descriptor.dump().c_str());
    release();
    EXPECT_EQ(feed(flat(1), sink), PALVEX_ERR_NO_DESCRIPTOR);
}

TEST_F(LossAccounting, FillerNumbersAboveTwoToThe31AreUnsigned) {
    send(0x80000000, 0x80000001);
    send(0x80000004, 0x80000005);
    EXPECT_EQ(numbers(), (std::vector<double>{2147483648.0, 2147483649.0, 2147483650.0, 2147483651.0,
                                              2147483652.0, 2147483653.0}));
}

TEST_F(LossAccounting, ConfirmationAndTypeZeroDoNotCountAsTheDroppedBuffer) {
    send(10, 11);
    send(14, 15);
    const Bytes confirmation(5, 0xAB);
    Bytes type_zero = packet(1, 2);
    type_zero[0] = type_zero[1] = 0;
    EXPECT_EQ(feed(confirmation, sink), 0);
    EXPECT_EQ(feed(type_zero, sink), 0);
    send(16, 17);  // this one is dropped
    send(18, 19);
    EXPECT_EQ(numbers(), (std::vector<double>{10, 11, 12, 13, 14, 15, 18, 19}));
}

// Gaps up to the bound are losses; past it the jump is a discontinuity.
TEST_F(LossAccounting, GapAtTheBoundIsFilled) {
    CapturedLog log;
    set_logger(log.logger.get());
    send(10, 11);
    const std::uint32_t next = 11 + PALVEX_MAX_FILLED_ROWS + 1;
    send(next, next + 1);
    // 2^20 missing numbers, then the packet's own two rows as fillers.
    EXPECT_EQ(sink.size(), 2u + PALVEX_MAX_FILLED_ROWS + 2u);
    EXPECT_EQ(sink.deliveries.back().row[package_num], static_cast<double>(next + 1));
    EXPECT_EQ(log.count("discontinuity"), 0u);
    send(next + 2, next + 3);  // dropped
    EXPECT_EQ(sink.size(), 2u + PALVEX_MAX_FILLED_ROWS + 2u);
}

TEST_F(LossAccounting, GapOneAboveTheBoundIsADiscontinuity) {
    CapturedLog log;
    set_logger(log.logger.get());
    send(10, 11);
    const std::uint32_t next = 11 + PALVEX_MAX_FILLED_ROWS + 2;
    send(next, next + 1);
    send(next + 2, next + 3);  // tracked from the new number: not dropped
    send(next + 5, next + 6);  // a real loss after it is filled as usual
    EXPECT_EQ(numbers(), (std::vector<double>{10, 11, double(next), double(next + 1), double(next + 2),
                                              double(next + 3), double(next + 4), double(next + 5),
                                              double(next + 6)}));
    ASSERT_EQ(log.count("discontinuity"), 1u);
    EXPECT_EQ(log.count("jumped from 11 to " + std::to_string(next)), 1u);
    EXPECT_EQ(log.count("warning|"), 1u);
}

TEST_F(LossAccounting, HugeJumpReturnsAtOnce) {
    send(10, 11);
    const std::uint32_t next = 11u + 0x7FFFFFFFu;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send(next, next + 1), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(sink.size(), 4u);
    EXPECT_LT(took, std::chrono::milliseconds(50));  // generous bound for a loaded CI machine
}

}  // namespace
