#include <gtest/gtest.h>

#include "packets/byte_order.h"
#include "packets/packet_base.h"

using namespace palvex;

namespace {

TEST(ByteOrder, ReadsFromUnalignedBytes) {
    const unsigned char b[] = {0x00, 0x34, 0x12, 0xFF, 0x7F, 0x00, 0x80, 0xFE, 0xDC, 0xBA};
    EXPECT_EQ(read_le16(b + 1), 0x1234);
    EXPECT_EQ(read_le16_signed(b + 3), 0x7FFF);
    EXPECT_EQ(read_le16_signed(b + 5), -32768);
    EXPECT_EQ(read_le32(b + 1), 0x7FFF1234u);
    EXPECT_EQ(read_le32_signed(b + 6), static_cast<std::int32_t>(0xBADCFE80u));
    EXPECT_EQ(read_be24_signed(b + 7), -0x012346);  // FE DC BA
    const unsigned char edges[] = {0x7F, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(read_be24_signed(edges), 8388607);
    EXPECT_EQ(read_be24_signed(edges + 3), -8388608);
    EXPECT_EQ(read_be24_signed(edges + 6), -1);
}

struct WrapCase {
    double value;
    std::int32_t expected;
};

TEST(ByteOrder, PacketNumbersWrapToSigned32) {
    const WrapCase cases[] = {{0.0, 0},
                              {4294967295.0, -1},
                              {2147483648.0, -2147483647 - 1},
                              {12.9, 12},
                              {-3.5, -3},
                              {4294967296.0 + 7, 7},
                              {1e300, 0},
                              {std::numeric_limits<double>::quiet_NaN(), 0},
                              {-std::numeric_limits<double>::infinity(), 0}};
    for (const WrapCase& c : cases) EXPECT_EQ(wrap_to_int32(c.value), c.expected) << c.value;
}

}  // namespace
