// Decoded values are bit-identical to the formulas in their order of
// operations: every expectation here is an exact double comparison.
#include <gtest/gtest.h>

#include "host.h"

using namespace palvex_test;

namespace {

// Columns of the default descriptor.
constexpr int exg0 = 0, accel_x = 8, accel_z = 10, gyro_x = 11, gyro_y = 12, res0 = 14, res3 = 17,
              ppg0 = 24, ppg1 = 25, package_num = 26, battery = 27, other = 28, valid = 29,
              format_code = 30, ppg2 = 31;

class Decoding : public ::testing::Test {
protected:
    void SetUp() override {
        release();
        set_board_json(default_descriptor_json().c_str());
    }
    // Decodes one buffer on a fresh decoder and returns its rows.
    RowSink decode(const Bytes& buffer) {
        release();
        RowSink sink;
        EXPECT_EQ(feed(buffer, sink), 0);
        return sink;
    }
};

std::int32_t be24(std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    const std::uint32_t v = (a << 16) | (b << 8) | c;
    return static_cast<std::int32_t>(v << 8) >> 8;
}

struct ExgCase {
    std::uint8_t b0, b1, b2;
    double expected;
};

TEST_F(Decoding, MesExgIs24BitBigEndianTimesScale) {
    const ExgCase cases[] = {{0x7F, 0xFF, 0xFF, 377487.315}, {0x80, 0x00, 0x00, -377487.36},
                             {0xFF, 0xFF, 0xFF, -0.045},     {0x12, 0x34, 0x56, 53687.07},
                             {0xFE, 0xDC, 0xBA, -3355.47}};
    for (const COMM_TYPE family : {MES_2, MES_4, MES_5}) {
        for (const ExgCase& c : cases) {
            MesPacket p;
            p.type = family;
            p.sample[1].exg[7] = be24(c.b0, c.b1, c.b2);
            p.sample[0].package_num = 1;
            p.sample[1].package_num = 2;
            const RowSink rows = decode(build(p));
            ASSERT_EQ(rows.size(), 2u);
            EXPECT_EQ(rows.row(1)[7], c.expected) << "family " << family;
            EXPECT_EQ(rows.row(0)[7], 0.0);
        }
    }
}

TEST_F(Decoding, MesSharedFieldsAndPerSampleFields) {
    for (const COMM_TYPE family : {MES_2, MES_4, MES_5}) {
        MesPacket p;
        p.type = family;
        p.battery = 0xC8;
        p.accel = {-32768, 0, 16384};
        p.gyro = {32767, -1, 0};
        p.sample[0] = {{}, 0x11, 0xA5, 0xFFFFFFFF};
        p.sample[1] = {{}, 0x22, 0x3C, 0};  // the counter wraps: in order
        const RowSink rows = decode(build(p));
        ASSERT_EQ(rows.size(), 2u) << family;
        const auto& r0 = rows.row(0);
        const auto& r1 = rows.row(1);
        EXPECT_EQ(r0[accel_x], -1.99999488);
        EXPECT_EQ(r0[accel_z], 16384 * 6.1035e-05);
        EXPECT_EQ(r0[accel_z], 0.99999744);
        EXPECT_EQ(r0[gyro_x], 32767 * 0.01526);
        EXPECT_EQ(r0[gyro_y], -0.01526);
        EXPECT_EQ(r0[battery], 200.0);
        EXPECT_EQ(r0[other], 17.0);
        EXPECT_EQ(r1[other], 34.0);
        EXPECT_EQ(r0[package_num], 4294967295.0);  // unsigned, not -1
        EXPECT_EQ(r1[package_num], 0.0);
        EXPECT_EQ(r0[valid], 1.0);
        EXPECT_EQ(r0[format_code], family == MES_2 ? 2.0 : 4.0);
        // Shared fields are the same in both rows.
        EXPECT_EQ(r1[accel_x], r0[accel_x]);
        EXPECT_EQ(r1[battery], r0[battery]);
    }
}

TEST_F(Decoding, MesPpgDependsOnFamily) {
    MesPacket p;
    p.ppg = {0xFE, 0x01};
    p.ppg_raw = {-32768, -1, 32767};
    p.sample[0].package_num = 1;
    p.sample[1].package_num = 2;

    p.type = MES_4;
    RowSink rows = decode(build(p));
    EXPECT_EQ(rows.row(1)[ppg0], 254.0);
    EXPECT_EQ(rows.row(1)[ppg1], 1.0);
    EXPECT_EQ(rows.row(1)[ppg2], -1.0);  // listed only as raw PPG: the framing's -1 stays

    p.type = MES_5;
    rows = decode(build(p));
    EXPECT_EQ(rows.row(0)[ppg0], -32768.0);
    EXPECT_EQ(rows.row(0)[ppg1], -1.0);
    EXPECT_EQ(rows.row(0)[ppg2], 32767.0);

    p.type = MES_2;
    rows = decode(build(p));
    for (int c : {ppg0, ppg1, ppg2}) EXPECT_EQ(rows.row(0)[c], -1.0);
}

TEST_F(Decoding, MesNibblesNeedMoreThanThreeOtherChannels) {
    const std::string four_others = R"({"num_rows": 32, "exg_channels": [], "accel_channels": [],
        "gyro_channels": [], "ppg_channels": [], "package_num_channel": 26, "battery_channel": 27,
        "other_channels": [28, 30, 2, 3]})";
    const std::string three_others = R"({"num_rows": 32, "exg_channels": [], "accel_channels": [],
        "gyro_channels": [], "ppg_channels": [], "package_num_channel": 26, "battery_channel": 27,
        "other_channels": [28, 30, 2]})";
    MesPacket p;
    p.sample[0] = {{}, 0, 0xA5, 1};
    p.sample[1] = {{}, 0, 0x3C, 2};
    set_board_json(four_others.c_str());
    RowSink rows = decode(build(p));
    EXPECT_EQ(rows.row(0)[2], 10.0);
    EXPECT_EQ(rows.row(0)[3], 5.0);
    EXPECT_EQ(rows.row(1)[2], 3.0);
    EXPECT_EQ(rows.row(1)[3], 12.0);
    set_board_json(three_others.c_str());
    rows = decode(build(p));
    EXPECT_EQ(rows.row(0)[2], 0.0);
    EXPECT_EQ(rows.row(0)[3], 0.0);
}

TEST_F(Decoding, ChannelListsUseOnlyTheGroupsWidth) {
    // 10 ExG entries: channels 0..7 land in the first 8 columns, entries 8 and 9 are ignored.
    set_board_json(R"({"num_rows": 40, "exg_channels": [0,1,2,3,4,5,6,7,33,34],
        "accel_channels": [8], "gyro_channels": [], "ppg_channels": [24, 25, 35],
        "package_num_channel": 26, "battery_channel": 27, "other_channels": [28, 30]})");
    MesPacket p;
    for (int i = 0; i < 8; ++i) p.sample[0].exg[i] = i + 1;
    p.accel = {100, 200, 300};
    p.ppg = {9, 8};
    const RowSink rows = decode(build(p));
    ASSERT_EQ(rows.row(0).size(), 40u);
    EXPECT_EQ(rows.row(0)[7], 8 * 0.045);
    EXPECT_EQ(rows.row(0)[33], 0.0);
    EXPECT_EQ(rows.row(0)[8], 100 * 6.1035e-05);
    EXPECT_EQ(rows.row(0)[9], 0.0);
    EXPECT_EQ(rows.row(0)[35], -1.0);  // third PPG entry keeps the framing's value
}

TEST_F(Decoding, LaterWriteWinsWhenKeysShareAColumn) {
    // battery and exg channel 0 share column 0: battery is written after ExG.
    set_board_json(R"({"num_rows": 32, "exg_channels": [0], "accel_channels": [], "gyro_channels": [],
        "ppg_channels": [], "package_num_channel": 26, "battery_channel": 0, "other_channels": [28, 30]})");
    MesPacket p;
    p.sample[0].exg[0] = 1000;
    p.battery = 55;
    EXPECT_EQ(decode(build(p)).row(0)[0], 55.0);
}

TEST_F(Decoding, UntouchedColumnKeepsSampleZerosValueInSampleOne) {
    // The row is zeroed once per buffer, not per sample: a column written only
    // for sample 0 by a collision still holds it in sample 1. Here package
    // number and "other" share nothing, so check a column only the framing sets.
    MesPacket p;
    p.sample[0].package_num = 3;
    p.sample[1].package_num = 4;
    const RowSink rows = decode(build(p));
    EXPECT_EQ(rows.row(1)[valid], 1.0);
    EXPECT_EQ(rows.row(1)[res0], 0.0);  // MES never writes resistance columns
}

struct BatteryCase {
    std::uint32_t millivolts;
    double percent;
};

TEST_F(Decoding, Wua2BatteryPercentInStatedOrder) {
    const BatteryCase cases[] = {{2800, 0.0},
                                 {3525, 50.000000000000014},
                                 {5000, 151.7241379310345},
                                 {4250, 100.00000000000003},
                                 {0, -193.10344827586206}};
    for (const BatteryCase& c : cases) {
        Wua2Packet p;
        p.record[0].battery = c.millivolts;
        p.record[1].battery = c.millivolts;
        p.record[0].package_num = 1;
        p.record[1].package_num = 2;
        const RowSink rows = decode(build(p));
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows.row(0)[battery], c.percent) << c.millivolts;
    }
}

TEST_F(Decoding, Wua2WordsSignedAndUnsigned) {
    Wua2Packet p;
    Wua2Record& r = p.record[1];
    r.exg[0] = -1;
    r.resistance[3] = -1;
    r.other = 0xFFFFFFFF;
    r.accel[2] = 16384;
    r.gyro[0] = 65536;
    r.package_num = 0xFFFFFFFF;
    p.record[0].package_num = 5;
    const RowSink rows = decode(build(p));
    ASSERT_EQ(rows.size(), 2u);
    const auto& row = rows.row(1);
    EXPECT_EQ(row[exg0], -0.045);
    EXPECT_EQ(row[res3], -1.0);
    EXPECT_EQ(row[other], 4294967295.0);
    EXPECT_EQ(row[accel_z], 0.99999744);
    EXPECT_EQ(row[gyro_x], 1000.07936);
    EXPECT_EQ(row[package_num], 4294967295.0);
    EXPECT_EQ(row[format_code], 1.0);
    EXPECT_EQ(rows.row(0)[exg0], 0.0);  // sample 1 reads only bytes 108..215
}

// The loss accounting of a WUA2 board reads the column the descriptor names,
// like every other family's: an ExG value in column 26 is never taken for a
// packet number, and filler rows carry their numbers where the host looks.
TEST_F(Decoding, Wua2TracksLossOnTheDescriptorsPacketNumberColumn) {
    set_board_json(R"({"num_rows": 32, "exg_channels": [26], "resistance_channels": [], "accel_channels": [],
        "gyro_channels": [], "package_num_channel": 6, "battery_channel": 27, "other_channels": [28, 30]})");
    release();
    RowSink sink;
    const auto packet = [](std::uint32_t n, std::int32_t exg) {
        Wua2Packet p;
        for (int s = 0; s < 2; ++s) {
            p.record[s].package_num = n + s;
            p.record[s].exg[0] = exg * (s + 1);  // wild values where the numbers used to be read
        }
        return build(p);
    };
    for (std::uint32_t n = 10; n < 20; n += 2) ASSERT_EQ(feed(packet(n, 100000 * n), sink), 0);
    EXPECT_EQ(sink.column(6), (std::vector<double>{10, 11, 12, 13, 14, 15, 16, 17, 18, 19}));
    // A gap: fillers 20 and 21, copies of row 19, then the packet's own 22 and 23.
    ASSERT_EQ(feed(packet(22, 7), sink), 0);
    const std::vector<double> numbers = sink.column(6);
    EXPECT_EQ(std::vector<double>(numbers.begin() + 10, numbers.end()), (std::vector<double>{20, 21, 22, 23}));
    EXPECT_EQ(sink.row(11)[26], sink.row(9)[26]);
    EXPECT_EQ(sink.row(13)[26], 14 * 0.045);
}

TEST_F(Decoding, Imp3ResistanceUnsignedExact) {
    Imp3Packet p;
    p.resistance[0][0] = 0xFFFFFFFF;
    p.resistance[1][0] = 10000;  // bytes 10 27 00 00
    p.resistance[1][9] = 123456789;
    p.battery = 77;
    p.package_num = {40, 41};
    const RowSink rows = decode(build(p));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows.row(0)[res0], 4294967295.0);
    EXPECT_EQ(rows.row(1)[res0], 10000.0);
    EXPECT_EQ(rows.row(1)[res0 + 9], 123456789.0);
    EXPECT_EQ(rows.row(1)[battery], 77.0);
    EXPECT_EQ(rows.row(1)[package_num], 41.0);
    EXPECT_EQ(rows.row(1)[format_code], 3.0);
    EXPECT_EQ(rows.row(1)[other], 0.0);  // entry 0 is not IMP_3's
    EXPECT_EQ(rows.row(1)[exg0], 0.0);
    EXPECT_EQ(rows.row(1)[ppg0], -1.0);
}

}  // namespace
