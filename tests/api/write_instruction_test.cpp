// data_write: commands become 5-byte instructions, through the decoder's
// write callback or, without a decoder, straight back to the given one.
#include <gtest/gtest.h>

#include "host.h"

using namespace palvex_test;

namespace {

class DataWrite : public ::testing::Test {
protected:
    void SetUp() override {
        release();
        set_board_json(default_descriptor_json().c_str());
    }
    int32_t write(const Bytes& command, RowSink& context) {
        return data_write(command.data(), command.size(), &RowSink::collect_write, &context);
    }
    RowSink decoder_context, other;
};

struct CommandCase {
    Bytes command;
    Bytes instruction;
};

TEST_F(DataWrite, InstructionIsTheFirstFiveCommandBytesZeroPadded) {
    const CommandCase cases[] = {
        {{0x01}, {0x01, 0, 0, 0, 0}},
        {{0x03, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, {0x03, 0xAA, 0xBB, 0xCC, 0xDD}},
        {{0x02, 0x11, 0x22, 0x33, 0x44}, {0x02, 0x11, 0x22, 0x33, 0x44}},
        {{0x01, 0x02}, {0x01, 0x02, 0, 0, 0}},
        {{}, {0, 0, 0, 0, 0}},
    };
    for (const COMM_TYPE family : {WUA2, MES_2, IMP_3, MES_4, MES_5}) {
        release();
        decoder_context.writes.clear();
        ASSERT_EQ(feed(packet_of(family, 1), decoder_context), 0);
        for (const CommandCase& c : cases) EXPECT_EQ(write(c.command, decoder_context), 0);
        ASSERT_EQ(decoder_context.writes.size(), std::size(cases));
        for (std::size_t i = 0; i < std::size(cases); ++i)
            EXPECT_EQ(decoder_context.writes[i], cases[i].instruction) << family << " case " << i;
    }
    // Without a decoder the command is echoed the same way.
    release();
    for (const CommandCase& c : cases) EXPECT_EQ(write(c.command, other), 0);
    ASSERT_EQ(other.writes.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(other.writes[i], cases[i].instruction);
}

TEST_F(DataWrite, DecoderKeepsTheFirstCallbackAndItsOwnContext) {
    ASSERT_EQ(feed(packet_of(IMP_3, 1), decoder_context), 0);
    EXPECT_EQ(write({0x05}, other), 0);
    EXPECT_EQ(data_write(nullptr, 0, [](void*, const unsigned char*, size_t) { FAIL(); }, &other), 0);
    EXPECT_TRUE(other.writes.empty());
    EXPECT_EQ(decoder_context.writes.size(), 2u);
}

TEST_F(DataWrite, MissingCallbackOrCommand) {
    const unsigned char cmd[] = {0x01};
    EXPECT_EQ(data_write(cmd, 1, nullptr, &other), PALVEX_ERR_NO_WRITE_CALLBACK);  // no decoder
    EXPECT_EQ(data_write(nullptr, 3, &RowSink::collect_write, &other), PALVEX_ERR_NO_INSTRUCTION);
    ASSERT_EQ(feed(packet_of(MES_4, 1), decoder_context), 0);
    EXPECT_EQ(data_write(cmd, 1, nullptr, &other), PALVEX_ERR_NO_WRITE_CALLBACK);
    EXPECT_EQ(data_write(nullptr, 3, &RowSink::collect_write, &other), PALVEX_ERR_NO_INSTRUCTION);
    EXPECT_EQ(write({0x01}, other), 0);  // the decoder now has a callback
    EXPECT_TRUE(other.writes.empty());
    EXPECT_EQ(decoder_context.writes.size(), 1u);
}

TEST_F(DataWrite, AfterReleaseTheNoDecoderPathAnswers) {
    ASSERT_EQ(feed(packet_of(MES_4, 1), decoder_context), 0);
    EXPECT_EQ(write({0x01, 0x02}, other), 0);
    EXPECT_EQ(release(), 0);
    EXPECT_EQ(release(), 0);
    EXPECT_EQ(write({0x01, 0x02}, other), 0);
    EXPECT_EQ(decoder_context.writes.size(), 1u);
    ASSERT_EQ(other.writes.size(), 1u);
    EXPECT_EQ(other.writes[0], (Bytes{0x01, 0x02, 0, 0, 0}));
}

}  // namespace
