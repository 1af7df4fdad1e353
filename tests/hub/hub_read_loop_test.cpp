// The read loop: demultiplexing, contexts, TCP segmentation, a stream joined
// in the middle of a chunk, junk in mid-stream, a board that misbehaves
// while others stream, release and a hub that goes away.
#include <sys/resource.h>

#include <map>
#include <random>

#include "../api/descriptor_variants.h"
#include "../api/loss_cases.h"
#include "hub_host.h"

using namespace palvex_test;

namespace {

double cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Packet numbers delivered to each context, in order.
std::map<void*, std::vector<double>> numbers_by_context(Recorder& rows) {
    std::map<void*, std::vector<double>> out;
    for (const auto& [context, number] : rows.numbers()) out[context].push_back(number);
    return out;
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
    EXPECT_EQ(ssid_list(), (std::vector<std::string>{lead_ssid, "MES4AA", "IMP3", "WUA2xx"}));
}

// Each chunk is decoded once; each row goes to the registered context, then
// to the all-boards contexts in registration order.
TEST_F(HubTest, RegisteredContextFirstThenAllBoardsInRegistrationOrder) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    start_reading();
    ASSERT_EQ(corvel_set_board(context(5), ""), 0);
    ASSERT_EQ(corvel_set_board(context(4), ""), 0);
    send(concat({hub_chunk("B1", packet_of(MES_2, 1)), hub_chunk("B2", packet_of(MES_2, 1))}));
    ASSERT_TRUE(rows.wait_for(10));
    using N = std::vector<std::pair<void*, double>>;
    EXPECT_EQ(rows.numbers(), (N{{context(1), 1}, {context(5), 1}, {context(4), 1},
                                 {context(1), 2}, {context(5), 2}, {context(4), 2},
                                 {context(5), 1}, {context(4), 1}, {context(5), 2}, {context(4), 2}}));
}

// Every loss case on a board of its own: the board's context and two
// all-boards contexts get, row for row and bit for bit, what single-board
// decoding of the same buffers gives, and that is the case's exact rows.
TEST_F(HubTest, EveryContextOfABoardGetsTheRowsOfSingleBoardDecoding) {
    const std::vector<LossCase>& cases = loss_cases();
    std::vector<Rows> single;
    for (const LossCase& c : cases) {
        const Rows own = own_rows(c);
        RowSink sink;
        for (const Bytes& b : c.buffers) feed(b, sink);
        release();
        Rows got;
        for (const Delivery& d : sink.deliveries) got.push_back(d.row);
        ASSERT_TRUE(holds_case(c, own, got)) << c.name;
        single.push_back(got);
    }
    static int board_context[32];
    const auto ssid = [](std::size_t i) { return "L" + std::to_string(i); };
    for (std::size_t i = 0; i < cases.size(); ++i) ASSERT_EQ(corvel_set_board(&board_context[i], ssid(i).c_str()), 0);
    start_reading();
    ASSERT_EQ(corvel_set_board(context(4), ""), 0);
    ASSERT_EQ(corvel_set_board(context(5), ""), 0);
    std::size_t expected = 0;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::vector<Bytes> chunks;
        for (const Bytes& b : cases[i].buffers) chunks.push_back(hub_chunk(ssid(i), b));
        send(concat(chunks));
        expected += 3 * single[i].size();
        ASSERT_TRUE(rows.wait_for(expected)) << cases[i].name;  // one case at a time: deliveries stay in case order
    }
    std::this_thread::sleep_for(100ms);
    const auto deliveries = rows.deliveries();
    ASSERT_EQ(deliveries.size(), expected);
    std::size_t k = 0;
    for (std::size_t i = 0; i < cases.size(); ++i)
        for (const std::vector<double>& row : single[i])
            for (void* want : {static_cast<void*>(&board_context[i]), context(4), context(5)}) {
                EXPECT_EQ(deliveries[k].context, want) << cases[i].name << ", delivery " << k;
                EXPECT_EQ(deliveries[k].row, row) << cases[i].name << ", delivery " << k;
                ++k;
            }
    // The wrong-length buffer after a gap is refused and said once; the board goes on.
    EXPECT_EQ(log.count("error|Packet interpretation error: 1 (board "), 1u);
}

// A filler column that a family writes is refused for that family, through
// the hub as in single-board mode: no row, one line for the board, and the
// reason once for the descriptor.
TEST_F(HubTest, FillerColumnThatAFamilyWritesIsRefusedForThatFamily) {
    std::vector<DescriptorVariant> clashes;
    for (const DescriptorVariant& v : descriptor_variants())
        if (std::string(v.key) == "filler_channel" && v.refused_by != NONE) clashes.push_back(v);
    ASSERT_GE(clashes.size(), 10u);
    start_reading();
    ASSERT_EQ(corvel_set_board(context(4), ""), 0);
    for (std::size_t i = 0; i < clashes.size(); ++i) {
        const Family* refusing = nullptr;
        for (const Family& f : families)
            if (!refusing && (clashes[i].refused_by & f.bit)) refusing = &f;
        set_board_json(clashes[i].json().c_str());
        const std::string board = "C" + std::to_string(i);
        send(concat({hub_chunk(board, packet_of(refusing->type, 1)), hub_chunk(board, packet_of(refusing->type, 3))}));
        // Listed once the loop has made the board's decoder, from this descriptor.
        const auto deadline = std::chrono::steady_clock::now() + 3s;
        while (!listed(board)) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << clashes[i].describe();
            std::this_thread::sleep_for(5ms);
        }
    }
    set_board_json(default_descriptor_json().c_str());
    send(hub_chunk("OK", packet_of(MES_4, 1)));
    ASSERT_TRUE(rows.wait_for(2));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rows.size(), 2u);  // the refused boards delivered nothing
    for (std::size_t i = 0; i < clashes.size(); ++i)
        EXPECT_EQ(log.count("error|Packet interpretation error: 6 (board C" + std::to_string(i) + ")"), 1u)
            << clashes[i].describe();
    EXPECT_EQ(log.count("error|Board descriptor cannot decode"), clashes.size());
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
    // The SSID ends at its first zero byte.
    EXPECT_EQ(ssid_list(), (std::vector<std::string>{lead_ssid, "LONELY", "ABC"}));
    char* ssid = nullptr;
    for (const int index : {0, -1, 4}) {
        ASSERT_EQ(corvel_get_ssid_by_idx(index, &ssid), 0);
        EXPECT_EQ(ssid, nullptr) << index;
    }
    ASSERT_EQ(corvel_get_ssid_by_idx(2, &ssid), 0);
    EXPECT_STREQ(ssid, "LONELY");
    corvel_free_ssid(ssid);
}

TEST_F(HubTest, ChunksCutAcrossReceivesAreCompleted) {
    ASSERT_EQ(corvel_set_board(context(1), "CUT"), 0);
    start_reading();
    const std::size_t warnings = log.count("warning|");
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
    EXPECT_EQ(log.count("warning|"), warnings);
}

// Junk in mid-stream costs the junk and nothing else: the chunks after it
// decode, and no SSID is made up from it.
TEST_F(HubTest, RandomBytesInMidStreamAreSkippedAndTheChunksAfterThemDecode) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    ASSERT_EQ(corvel_set_board(context(2), "B2"), 0);
    start_reading();
    std::mt19937 random(7);
    Bytes junk(333);
    for (std::uint8_t& b : junk) b = static_cast<std::uint8_t>(random());
    send(concat({hub_chunk("B1", packet_of(MES_4, 1)), junk, hub_chunk("B2", packet_of(IMP_3, 1)),
                 hub_chunk("B1", packet_of(MES_4, 3))}));
    ASSERT_TRUE(rows.wait_for(6));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(numbers_by_context(rows), (std::map<void*, std::vector<double>>{{context(1), {1, 2, 3, 4}},
                                                                               {context(2), {1, 2}}}));
    EXPECT_EQ(ssid_list(), (std::vector<std::string>{lead_ssid, "B1", "B2"}));
    EXPECT_EQ(log.count("warning|Out of step with Corvel: skipped "), 1u);
}

// One board's fault is that board's: while B2 streams, B1 sends a chunk its
// decoder refuses, and the loop goes on with both.
struct BoardFault {
    const char* name;
    const char* descriptor;     // null: the default one
    bool registered;            // B1 has a context of its own, else only an all-boards one
    std::vector<Bytes> b1;      // B1's chunks, the faulty one among them
    std::size_t b1_rows;        // of which this many rows reach B1's context
    const char* message;
};

void PrintTo(const BoardFault& f, std::ostream* os) { *os << f.name; }

class HubBoardFault : public HubTest, public ::testing::WithParamInterface<BoardFault> {};

TEST_P(HubBoardFault, OtherBoardsGoOnAndSoDoesTheFaultyOne) {
    const BoardFault& f = GetParam();
    if (f.descriptor != nullptr) set_board_json(f.descriptor);
    const COMM_TYPE b2_family = f.descriptor != nullptr ? IMP_3 : MES_2;
    if (f.registered) ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    ASSERT_EQ(corvel_set_board(context(2), "B2"), 0);
    start_reading();
    if (!f.registered) ASSERT_EQ(corvel_set_board(context(4), ""), 0);
    void* b1_context = f.registered ? context(1) : context(4);
    std::uint32_t b2_next = 1;
    for (int round = 0; round < 2; ++round) {  // the fault twice: one line for both
        for (const Bytes& b1 : f.b1) {
            send(concat({hub_chunk("B1", b1), hub_chunk("B2", packet_of(b2_family, b2_next))}));
            b2_next += 2;
        }
    }
    const std::size_t b2_rows = b2_next - 1;
    const std::size_t expected = b2_rows * (f.registered ? 1 : 2) + 2 * f.b1_rows;
    ASSERT_TRUE(rows.wait_for(expected)) << rows.size();
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(reader.wait_returned(0ms)) << "the loop ended";
    const auto got = numbers_by_context(rows);
    std::vector<double> b2_numbers;
    for (double n = 1; n <= static_cast<double>(b2_rows); ++n) b2_numbers.push_back(n);
    EXPECT_EQ(got.at(context(2)), b2_numbers);
    EXPECT_EQ(got.at(b1_context).size(), 2 * f.b1_rows + (f.registered ? 0 : b2_rows));
    EXPECT_EQ(log.count(f.message), 1u);
    EXPECT_EQ(log.count("error|"), 1u + (f.descriptor != nullptr));  // and the descriptor's own reason, once
}

Bytes shortened(Bytes b) {
    b.pop_back();
    return b;
}
Bytes lengthened(Bytes b) {
    b.push_back(0);
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, HubBoardFault,
    ::testing::Values(
        BoardFault{"wrong_length_registered", nullptr, true,
                   {packet_of(MES_4, 1), shortened(packet_of(MES_4, 3)), packet_of(MES_4, 3)}, 4,
                   "error|Packet interpretation error: 1 (board B1)"},
        BoardFault{"wrong_length_all_boards", nullptr, false,
                   {packet_of(IMP_3, 1), lengthened(packet_of(IMP_3, 3)), packet_of(IMP_3, 3)}, 4,
                   "error|Packet interpretation error: 1 (board B1)"},
        // Enough for IMP_3, not for MES_4.
        BoardFault{"family_the_descriptor_cannot_decode",
                   R"({"num_rows": 32, "package_num_channel": 26, "resistance_channels": [], "battery_channel": 27,
                       "other_channels": [28, 30]})",
                   true, {packet_of(IMP_3, 1), packet_of(MES_4, 3), packet_of(IMP_3, 5)}, 4,
                   "error|Packet interpretation error: 6 (board B1)"}),
    [](const auto& info) { return std::string(info.param.name); });

// Every chunk is refused, and said once per board, not once per chunk.
TEST_F(HubTest, DescriptorThatCannotMakeADecoderDropsTheChunk) {
    set_board_json(R"({"num_rows": 32})");
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    ASSERT_EQ(corvel_set_board(context(2), "B2"), 0);
    start_reading();
    for (int round = 0; round < 3; ++round)
        send(concat({hub_chunk("B1", packet_of(MES_4, 1 + 2 * round)), hub_chunk("B2", packet_of(IMP_3, 1 + 2 * round))}));
    std::this_thread::sleep_for(200ms);
    const std::string line = "warning|Found error at packet init: 6. Continuing.";
    EXPECT_EQ(log.count(line + " (board B1)"), 1u);
    EXPECT_EQ(log.count(line + " (board B2)"), 1u);
    EXPECT_EQ(log.count(line), 3u);  // and the lead board's
    EXPECT_EQ(log.count("\"package_num_channel\" is missing"), 1u);
    EXPECT_EQ(rows.size(), 0u);
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

TEST_F(HubTest, LoopWaitingForAHubThatIsDownDoesNotSpin) {
    start_reading();
    hub.stop_listening();
    hub.close_client();
    ASSERT_TRUE(hub.wait_sent(1s));
    std::this_thread::sleep_for(200ms);
    const double cpu_before = cpu_seconds();
    std::this_thread::sleep_for(1s);
    const double cpu_used = cpu_seconds() - cpu_before;
    EXPECT_LT(cpu_used, 0.05) << "the loop spins while the hub is down";
    EXPECT_EQ(log.count("warning|Corvel connection lost; reconnecting ..."), 1u);
    const auto start = std::chrono::steady_clock::now();
    corvel_release();
    ASSERT_TRUE(reader.wait_returned(2s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

// A hub streams before the host's loop runs: the loop's first receive holds
// a whole chunk and part of the next, cut at `cut`, and is thrown away. Of
// what follows, only the rest of the cut chunk is lost.
class HubJoinedMidStream : public HubTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(HubJoinedMidStream, LosesAtMostTheChunkTheFirstReceiveCut) {
    ASSERT_EQ(corvel_set_board(context(1), "MES4AA"), 0);
    ASSERT_EQ(corvel_set_board(context(2), "IMP3"), 0);
    ASSERT_EQ(corvel_set_board(context(3), "WUA2xx"), 0);
    Bytes stream;
    std::vector<std::size_t> starts;
    for (std::uint32_t n = 1; n < 40; n += 2) {
        for (const Bytes& c : {hub_chunk("MES4AA", packet_of(MES_4, n)), hub_chunk("IMP3", packet_of(IMP_3, n)),
                               hub_chunk("WUA2xx", packet_of(WUA2, n))}) {
            starts.push_back(stream.size());
            stream.insert(stream.end(), c.begin(), c.end());
        }
    }
    const std::size_t cut = starts[1] + GetParam();  // inside the second chunk (or its header)
    connect();
    send(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)));
    std::this_thread::sleep_for(50ms);  // all of it waits in the host's socket for the first receive
    reader.start();
    std::this_thread::sleep_for(100ms);
    send(Bytes(stream.begin() + static_cast<std::ptrdiff_t>(cut), stream.end()));
    const std::size_t whole_after = starts.size() - 2;
    ASSERT_TRUE(rows.wait_for(2 * whole_after)) << rows.size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rows.size(), 2 * whole_after);
    // The cut chunk was an IMP3 packet: every board from its next chunk on.
    std::vector<double> all, from_3;
    for (double n = 1; n <= 40; ++n) all.push_back(n);
    for (double n = 3; n <= 40; ++n) from_3.push_back(n);
    EXPECT_EQ(numbers_by_context(rows),
              (std::map<void*, std::vector<double>>{{context(1), from_3}, {context(2), from_3}, {context(3), all}}));
    EXPECT_EQ(ssid_list(), (std::vector<std::string>{"WUA2xx", "MES4AA", "IMP3"}));
    EXPECT_EQ(log.count("warning|Out of step with Corvel: skipped " + std::to_string(starts[2] - cut) + " bytes"),
              1u);
    EXPECT_EQ(log.count("warning|"), 1u);
}

// Inside the header (SSID, length), right after it, in the payload (41 bytes
// into the chunk, as a hub caught mid-write), and before the chunk's last byte.
INSTANTIATE_TEST_SUITE_P(CutPoints, HubJoinedMidStream, ::testing::Values(1, 3, 7, 10, 41, 100));

}  // namespace
