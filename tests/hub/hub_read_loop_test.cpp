// The read loop: demultiplexing, contexts, chunk errors, TCP segmentation,
// interpretation errors, release and a hub that goes away.
#include <sys/resource.h>

#include "hub_host.h"

using namespace palvex_test;

namespace {

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST_F(HubTest, BoardsInOneReceiveEachGetTheirOwnDecoder) {
    ASSERT_EQ(corvel_set_board(context(1), "MES4AA"), 0);
    ASSERT_EQ(corvel_set_board(context(2), "IMP3"), 0);
    ASSERT_EQ(corvel_set_board(context(3), "WUA2xx"), 0);
    start_reading();
    send(concat({hub_chunk("MES4AA", packet_of(MES_4, 10)), hub_chunk("IMP3", packet_of(IMP_3, 500)),
                 hub_chunk("WUA2xx", packet_of(WUA2, 70))}));
    ASSERT_TRUE(rows.wait_for(6));
    // A second packet per board continues each board's own numbering: no fillers.
    send(concat({hub_chunk("WUA2xx", packet_of(WUA2, 72)), hub_chunk("MES4AA", packet_of(MES_4, 12))}));
    ASSERT_TRUE(rows.wait_for(10));
    using N = std::vector<std::pair<void*, double>>;
    EXPECT_EQ(rows.numbers(), (N{{context(1), 10}, {context(1), 11}, {context(2), 500}, {context(2), 501},
                                 {context(3), 70}, {context(3), 71}, {context(3), 72}, {context(3), 73},
                                 {context(1), 12}, {context(1), 13}}));
    EXPECT_EQ(rows.deliveries()[2].row[30], 3.0);  // IMP_3 format code: decoded as its own family
    EXPECT_EQ(log.count("info|Storing new SSID: MES4AA"), 1u);
    EXPECT_EQ(log.count("info|Storing new SSID: "), 3u);
}

TEST_F(HubTest, RegisteredContextFirstThenAllBoardsInRegistrationOrder) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    ASSERT_EQ(corvel_set_board(context(5), ""), 0);
    ASSERT_EQ(corvel_set_board(context(4), ""), 0);
    start_reading();
    send(concat({hub_chunk("B1", packet_of(MES_2, 1)), hub_chunk("B2", packet_of(MES_2, 1))}));
    ASSERT_TRUE(rows.wait_for(10));
    using N = std::vector<std::pair<void*, double>>;
    // Each decoding of the same packet runs the loss accounting again: 1, 2
    // then 1, 2 is a repeat, never a gap.
    EXPECT_EQ(rows.numbers(), (N{{context(1), 1}, {context(1), 2}, {context(5), 1}, {context(5), 2},
                                 {context(4), 1}, {context(4), 2},
                                 {context(5), 1}, {context(5), 2}, {context(4), 1}, {context(4), 2}}));
}

TEST_F(HubTest, BoardThatSwitchesFamilyGetsANewDecoder) {
    ASSERT_EQ(corvel_set_board(context(1), "SW"), 0);
    start_reading();
    // Writes to the board while its decoder is being replaced on the read thread.
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        const unsigned char command[] = {3};
        while (writing) corvel_write_data(command, 1, context(1));
    });
    for (int round = 0; round < 20; ++round)
        send(concat({hub_chunk("SW", packet_of(MES_4, 1)), hub_chunk("SW", packet_of(IMP_3, 1))}));
    ASSERT_TRUE(rows.wait_for(80));
    writing = false;
    writer.join();
    const auto deliveries = rows.deliveries();
    for (std::size_t i = 0; i < 80; ++i)
        EXPECT_EQ(deliveries[i].row[30], (i / 2) % 2 == 0 ? 4.0 : 3.0) << i;  // format code of each family
}

TEST_F(HubTest, UnwantedBoardIsRecordedButNotDecoded) {
    start_reading();
    send(concat({hub_chunk("LONELY", packet_of(MES_4, 1)), hub_chunk("ABC\0EF", packet_of(MES_4, 1))}));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(rows.size(), 0u);
    char** list = nullptr;
    int count = 0;
    ASSERT_EQ(corvel_get_list_of_ssids(&list, &count), 0);
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(list[0], "LONELY");
    EXPECT_STREQ(list[1], "ABC");  // the SSID ends at its first zero byte
    corvel_free_ssid_list(list, count);
    char* ssid = nullptr;
    for (const int index : {0, -1, 3}) {
        ASSERT_EQ(corvel_get_ssid_by_idx(index, &ssid), 0);
        EXPECT_EQ(ssid, nullptr) << index;
    }
    ASSERT_EQ(corvel_get_ssid_by_idx(1, &ssid), 0);
    EXPECT_STREQ(ssid, "LONELY");
    corvel_free_ssid(ssid);
}

TEST_F(HubTest, ChunkErrorsAreSkipped) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    Bytes unknown_type = packet_of(MES_4, 1);
    unknown_type[0] = 9;
    start_reading();
    send(concat({hub_chunk("B1", -1, {}),                 // header only is skipped
                 hub_chunk("B1", Bytes(5, 0)),            // configuration confirmation
                 hub_chunk("B1", unknown_type),           // no such family
                 hub_chunk("B1", 600000, {}),             // longer than any receive
                 hub_chunk("B1", packet_of(MES_4, 20))}));
    ASSERT_TRUE(rows.wait_for(2));
    EXPECT_EQ(rows.numbers().front().second, 20.0);
    EXPECT_EQ(log.count("warning|Got corrupted packet size. Continuing."), 2u);
    EXPECT_EQ(log.count("warning|Found secondary error at packet init: -2. Continuing."), 1u);
    EXPECT_EQ(log.count("warning|Found error at packet init: 11. Continuing."), 1u);
}

TEST_F(HubTest, ChunksCutAcrossReceivesAreCompleted) {
    ASSERT_EQ(corvel_set_board(context(1), "CUT"), 0);
    start_reading();
    Bytes stream;
    for (std::uint32_t n = 1; n < 20; n += 2) {
        const Bytes c = hub_chunk("CUT", packet_of(MES_5, n));
        stream.insert(stream.end(), c.begin(), c.end());
    }
    // Cuts inside a header (3, 95), right after a header (101) and inside payloads.
    ASSERT_NO_THROW(hub.send_in_pieces(stream, {3, 50, 95, 101, 300, 301, 700}, 30ms));
    ASSERT_TRUE(hub.wait_sent(3s));
    ASSERT_TRUE(rows.wait_for(20));
    std::vector<double> numbers;
    for (const auto& n : rows.numbers()) numbers.push_back(n.second);
    std::vector<double> expected;
    for (int n = 1; n <= 20; ++n) expected.push_back(n);
    EXPECT_EQ(numbers, expected);
    EXPECT_EQ(log.count("warning|"), 0u);
}

TEST_F(HubTest, WrongLengthForARegisteredBoardEndsTheLoop) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    start_reading();
    Bytes short_packet = packet_of(MES_4, 1);
    short_packet.pop_back();
    send(concat({hub_chunk("B1", packet_of(MES_4, 1)), hub_chunk("B1", short_packet),
                 hub_chunk("B1", packet_of(MES_4, 3))}));
    ASSERT_TRUE(reader.wait_returned(3s));
    EXPECT_EQ(log.count("error|Packet interpretation error: 1"), 1u);
    EXPECT_EQ(rows.size(), 2u);
    // The claim is kept: the stream cannot be read again in this process.
    const auto start = std::chrono::steady_clock::now();
    corvel_read_thread();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);
}

TEST_F(HubTest, WrongLengthForAnAllBoardsContextEndsTheLoop) {
    ASSERT_EQ(corvel_set_board(context(4), ""), 0);
    start_reading();
    Bytes long_packet = packet_of(IMP_3, 1);
    long_packet.push_back(0);
    send(hub_chunk("B1", long_packet));
    ASSERT_TRUE(reader.wait_returned(3s));
    EXPECT_EQ(log.count("error|Packet interpretation error when combined: 1"), 1u);
    // The board-check mutex was released: the registry still answers.
    EXPECT_EQ(corvel_set_board(context(6), "X"), 0);
}

TEST_F(HubTest, DescriptorThatCannotDecodeEndsTheLoopWithCode6) {
    set_board_json(R"({"num_rows": 32, "package_num_channel": 26, "resistance_channels": [], "battery_channel": 27,
        "other_channels": [28, 30]})");  // enough for IMP_3, not for MES_4
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    start_reading();
    send(concat({hub_chunk("B1", packet_of(IMP_3, 1)), hub_chunk("B1", packet_of(MES_4, 3))}));
    ASSERT_TRUE(reader.wait_returned(3s));
    EXPECT_EQ(rows.size(), 2u);
    EXPECT_EQ(log.count("error|Board descriptor cannot decode MES_4 packets"), 1u);
    EXPECT_EQ(log.count("error|Packet interpretation error: 6"), 1u);
}

TEST_F(HubTest, DescriptorThatCannotMakeADecoderDropsTheChunk) {
    set_board_json(R"({"num_rows": 32})");
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    start_reading();
    send(concat({hub_chunk("B1", packet_of(MES_4, 1)), hub_chunk("B1", packet_of(MES_4, 3))}));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(log.count("warning|Found error at packet init: 6. Continuing."), 2u);
    EXPECT_EQ(log.count("\"package_num_channel\" is missing"), 1u);
    EXPECT_EQ(rows.size(), 0u);
}

TEST_F(HubTest, GapSkipsTheNextDecodingWhicheverContextItIsFor) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    ASSERT_EQ(corvel_set_board(context(4), ""), 0);
    start_reading();
    send(hub_chunk("B1", packet_of(MES_4, 10)));
    send(hub_chunk("B1", packet_of(MES_4, 14)));
    send(hub_chunk("B1", packet_of(MES_4, 16)));
    ASSERT_TRUE(rows.wait_for(12));
    using N = std::vector<std::pair<void*, double>>;
    EXPECT_EQ(rows.numbers(), (N{{context(1), 10}, {context(1), 11}, {context(4), 10}, {context(4), 11},
                                 // fillers for the registered context; its all-boards decoding is dropped
                                 {context(1), 12}, {context(1), 13}, {context(1), 14}, {context(1), 15},
                                 // 16 - 17 from the reference 17 is a repeat: decoded for both
                                 {context(1), 16}, {context(1), 17}, {context(4), 16}, {context(4), 17}}));
}

TEST_F(HubTest, CounterDiscontinuityNamesTheBoard) {
    ASSERT_EQ(corvel_set_board(context(1), "JUMPY"), 0);
    start_reading();
    send(hub_chunk("JUMPY", packet_of(MES_4, 10)));
    send(hub_chunk("JUMPY", packet_of(MES_4, 0x70000000)));
    ASSERT_TRUE(rows.wait_for(4));
    EXPECT_EQ(log.count("warning|Packet number of board JUMPY jumped from 11 to 1879048192"), 1u);
    EXPECT_EQ(rows.size(), 4u);
}

TEST_F(HubTest, ReleaseWhileTheLoopWaitsInAReceive) {
    start_reading();
    std::this_thread::sleep_for(300ms);
    const auto start = std::chrono::steady_clock::now();
    corvel_release();
    ASSERT_TRUE(reader.wait_returned(3s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);  // at most one receive time-out
    EXPECT_EQ(log.count("trace|Terminating signal found, ending reading ..."), 1u);
    // Released: a later call returns at once.
    const auto again = std::chrono::steady_clock::now();
    corvel_read_thread();
    EXPECT_LT(std::chrono::steady_clock::now() - again, 200ms);
}

TEST_F(HubTest, ReleaseStopsBeforeTheNextChunk) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    start_reading();
    rows.release_after = 2;  // released from inside the callback of the first chunk
    std::vector<Bytes> chunks;
    for (std::uint32_t n = 1; n < 40; n += 2) chunks.push_back(hub_chunk("B1", packet_of(MES_4, n)));
    send(concat(chunks));
    ASSERT_TRUE(reader.wait_returned(3s));
    EXPECT_EQ(rows.size(), 2u);
    EXPECT_EQ(log.count("trace|Terminating signal found, ending reading ..."), 1u);
}

TEST_F(HubTest, HubThatClosesTheConnectionDoesNotSpin) {
    start_reading();
    hub.close_client();
    ASSERT_TRUE(hub.wait_sent(1s));
    std::this_thread::sleep_for(200ms);
    const double cpu_before = cpu_seconds();
    std::this_thread::sleep_for(1s);
    const double cpu_used = cpu_seconds() - cpu_before;
    EXPECT_LT(cpu_used, 0.05) << "the loop spins on a closed connection";
    EXPECT_EQ(log.count("warning|Corvel closed the connection"), 1u);
    const auto start = std::chrono::steady_clock::now();
    corvel_release();
    ASSERT_TRUE(reader.wait_returned(2s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

}  // namespace
