// The write path: frames byte for byte, addressing, the trigger byte.
#include "hub_host.h"

using namespace palvex_test;

namespace {

class HubWrite : public HubTest {
protected:
    // Three boards the hub has sent data from, in this order.
    void meet_boards() {
        start_reading();
        send(concat({hub_chunk("MES4AA", packet_of(MES_4, 1)), hub_chunk("W2", packet_of(WUA2, 1)),
                     hub_chunk("IMP3XY", packet_of(IMP_3, 1))}));
        std::this_thread::sleep_for(150ms);
    }
    WriteFrame next_frame(std::size_t index) {
        EXPECT_TRUE(hub.wait_for_frames(index + 1, 2s));
        const auto frames = hub.frames();
        return frames.size() > index ? frames[index] : WriteFrame{};
    }
    int32_t write(const Bytes& command, void* ctx) { return corvel_write_data(command.data(), command.size(), ctx); }
};

Bytes entry(const char (&ssid)[7], Bytes instruction) {
    Bytes b(ssid, ssid + 6);
    b.push_back(static_cast<std::uint8_t>(instruction.size()));
    b.insert(b.end(), 3, 0);
    b.insert(b.end(), instruction.begin(), instruction.end());
    return b;
}

TEST_F(HubWrite, RegisteredBoardGetsATwentyByteFrame) {
    ASSERT_EQ(corvel_set_board(context(1), "MES4AA"), 0);
    meet_boards();
    ASSERT_EQ(write({0x03, 0x10}, context(1)), 0);
    const WriteFrame f = next_frame(0);
    EXPECT_EQ(f.raw, concat({{0, 1, 0, 0, 0}, entry("MES4AA", {0x03, 0x10, 0, 0, 0})}));
    EXPECT_EQ(f.raw.size(), 20u);
}

TEST_F(HubWrite, AllBoardsContextAddressesEveryBoardMetInOrder) {
    ASSERT_EQ(corvel_set_board(context(4), ""), 0);
    meet_boards();
    ASSERT_EQ(write({0x07, 1, 2, 3, 4, 5, 6}, context(4)), 0);
    const WriteFrame f = next_frame(0);
    const Bytes instruction{0x07, 1, 2, 3, 4};
    const char w2[7] = {'W', '2', 0, 0, 0, 0, 0};  // shorter SSIDs are zero-padded
    const char lead[7] = {'L', 'E', 'A', 'D', 0, 0, 0};
    EXPECT_EQ(f.raw, concat({{0, 4, 0, 0, 0}, entry(lead, instruction), entry("MES4AA", instruction),
                             entry(w2, instruction), entry("IMP3XY", instruction)}));
    EXPECT_EQ(f.raw.size(), 65u);
}

TEST_F(HubWrite, TriggerByteGoesOutOnceAndIsReset) {
    ASSERT_EQ(corvel_set_board(context(1), "MES4AA"), 0);
    ASSERT_EQ(corvel_set_board(context(2), "W2"), 0);
    meet_boards();
    ASSERT_EQ(write({0x01}, context(1)), 0);  // trigger code on a MES decoder
    ASSERT_EQ(write({0x01}, context(2)), 0);  // WUA2 never raises it
    ASSERT_EQ(write({0x02}, context(1)), 0);
    EXPECT_EQ(next_frame(0).trigger, 1);
    EXPECT_EQ(next_frame(1).trigger, 0);
    EXPECT_EQ(next_frame(2).trigger, 1);
    EXPECT_EQ(next_frame(1).entries.at(0).instruction, (Bytes{1, 0, 0, 0, 0}));
}

TEST_F(HubWrite, TriggerLeftPendingBySingleBoardModeGoesOutWithTheNextFrame) {
    ASSERT_EQ(corvel_set_board(context(2), "W2"), 0);
    meet_boards();
    RowSink single;
    ASSERT_EQ(feed(packet_of(MES_5, 1), single), 0);
    const unsigned char trigger[] = {2};
    ASSERT_EQ(data_write(trigger, 1, &RowSink::collect_write, &single), 0);
    ASSERT_EQ(write({0x09}, context(2)), 0);
    EXPECT_EQ(next_frame(0).trigger, 1);
}

TEST_F(HubWrite, UnregisteredContextSendsNothing) {
    ASSERT_EQ(corvel_set_board(context(1), "MES4AA"), 0);
    meet_boards();
    EXPECT_EQ(write({0x01}, context(9)), PALVEX_ERR_NOT_REGISTERED);
    EXPECT_EQ(corvel_write_data(nullptr, 5, context(1)), PALVEX_ERR_NO_INSTRUCTION);
    EXPECT_EQ(write({0x05}, context(1)), 0);
    const WriteFrame f = next_frame(0);
    EXPECT_EQ(f.trigger, 0);  // the refused trigger raised nothing
    EXPECT_EQ(f.entries.at(0).instruction, (Bytes{5, 0, 0, 0, 0}));  // the first frame is the good one
    EXPECT_EQ(hub.frames().size(), 1u);
}

TEST_F(HubWrite, BoardsWithoutADecoderAreLeftOut) {
    ASSERT_EQ(corvel_set_board(context(1), "NOTYET"), 0);
    ASSERT_EQ(corvel_set_board(context(4), ""), 0);
    connect();
    ASSERT_EQ(write({0x05}, context(1)), 0);  // registered, never met
    ASSERT_EQ(write({0x05}, context(4)), 0);  // all boards, none met yet
    EXPECT_EQ(next_frame(0).raw, (Bytes{0, 0, 0, 0, 0}));
    EXPECT_EQ(next_frame(1).raw, (Bytes{0, 0, 0, 0, 0}));
    start_loop();
    // A board whose chunks cannot make a decoder is met but has none.
    send(concat({hub_chunk("BAD", Bytes(5, 0)), hub_chunk("GOOD", packet_of(MES_2, 1))}));
    std::this_thread::sleep_for(150ms);
    ASSERT_EQ(write({0x05}, context(4)), 0);
    const WriteFrame f = next_frame(2);
    EXPECT_EQ(f.count, 2u);
    ASSERT_EQ(f.entries.size(), 2u);
    EXPECT_EQ(f.entries[0].ssid, "LEAD");
    EXPECT_EQ(f.entries[1].ssid, "GOOD");
}

// A host that only writes to all boards registers NULL for them: it gets no
// rows (the read loop does no work for it) and still addresses every board.
TEST_F(HubWrite, NullAllBoardsContextGetsNoRowsAndAddressesEveryBoard) {
    ASSERT_EQ(corvel_set_board(context(1), "MES4AA"), 0);
    ASSERT_EQ(corvel_set_board(nullptr, ""), 0);
    meet_boards();
    ASSERT_TRUE(rows.wait_for(2));
    std::this_thread::sleep_for(100ms);
    for (const Delivery& d : rows.deliveries()) EXPECT_EQ(d.context, context(1));
    EXPECT_EQ(rows.size(), 2u);
    ASSERT_EQ(write({0x05}, nullptr), 0);
    EXPECT_EQ(next_frame(0).count, 4u);  // LEAD and the three boards met
}

TEST_F(HubWrite, RegistryIsSearchedBeforeTheAllBoardsList) {
    ASSERT_EQ(corvel_set_board(context(1), "MES4AA"), 0);
    ASSERT_EQ(corvel_set_board(context(1), ""), 0);
    meet_boards();
    ASSERT_EQ(write({0x05}, context(1)), 0);
    EXPECT_EQ(next_frame(0).count, 1u);
}

// A context registered under several SSIDs addresses every one of them in
// one frame, in the order they were registered (not the order met).
TEST_F(HubWrite, ContextUnderSeveralSsidsAddressesEachInRegistrationOrder) {
    ASSERT_EQ(corvel_set_board(context(1), "IMP3XY"), 0);
    ASSERT_EQ(corvel_set_board(context(2), "W2"), 0);
    ASSERT_EQ(corvel_set_board(context(1), "MES4AA"), 0);
    meet_boards();
    ASSERT_EQ(write({0x02, 9}, context(1)), 0);
    const Bytes instruction{0x02, 9, 0, 0, 0};
    // 02 is a trigger code for MES_4 (not for IMP_3): the frame carries it.
    EXPECT_EQ(next_frame(0).raw,
              concat({{1, 2, 0, 0, 0}, entry("IMP3XY", instruction), entry("MES4AA", instruction)}));
}

}  // namespace
