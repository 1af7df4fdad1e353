// Hostile chunks from the hub, through the real read loop: each is skipped
// with its message and the board's next chunk decodes as if nothing had
// happened; SSIDs of 0 and 6 characters are told apart correctly.
#include <climits>

#include "hub_host.h"

using namespace palvex_test;

namespace {

struct HostileChunk {
    const char* name;
    Bytes bytes;
    const char* message;  // the line logged for it ("level|text")
    // A refusal of the board's (unlike a header that names no board, or a
    // buffer consumed without rows) is said once per board and cause.
    bool once_per_board = false;
};

Bytes with_head(std::size_t length, std::uint8_t b0, std::uint8_t b1) {
    Bytes b(length, 0x33);
    b[0] = b0;
    b[1] = b1;
    return b;
}

// Exact lines, where a fragment would also match longer ones.
std::size_t count_lines(CapturedLog& log, const std::string& line) {
    std::size_t n = 0;
    for (std::string l : log.lines()) {
        if (!l.empty() && l.back() == '\n') l.pop_back();
        n += l == line;
    }
    return n;
}

TEST_F(HubTest, HostileChunkIsSkippedWithItsMessageAndTheNextChunkDecodes) {
    Bytes largest(499990, 0x5A);  // the most one receive can hold behind a header
    largest[0] = 9;
    const HostileChunk cases[] = {
        {"length -1", hub_chunk("B1", -1, {}), "warning|Got corrupted packet size. Continuing."},
        {"length INT32_MIN", hub_chunk("B1", INT32_MIN, {}), "warning|Got corrupted packet size. Continuing."},
        {"length -77", hub_chunk("B1", -77, {}), "warning|Got corrupted packet size. Continuing."},
        {"length INT32_MAX", hub_chunk("B1", INT32_MAX, {}), "warning|Got corrupted packet size. Continuing."},
        {"length one past a receive", hub_chunk("B1", 499991, {}), "warning|Got corrupted packet size. Continuing."},
        {"length 0", hub_chunk("B1", Bytes{}), "warning|Found error at packet init: 11. Continuing.", true},
        {"length 1", hub_chunk("B1", Bytes{4}), "warning|Found error at packet init: 11. Continuing.", true},
        {"type word 0", hub_chunk("B1", with_head(77, 0, 0)), "warning|Found secondary error at packet init: -1. Continuing."},
        {"type word 0x8000", hub_chunk("B1", with_head(77, 0, 0x80)), "warning|Found error at packet init: 11. Continuing.", true},
        {"largest payload, unknown type", hub_chunk("B1", largest), "warning|Found error at packet init: 11. Continuing.", true},
        {"confirmation", hub_chunk("B1", Bytes(5, 4)), "warning|Found secondary error at packet init: -2. Continuing."},
    };
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    start_reading();
    std::uint32_t next = 10;
    std::size_t expected_rows = 0;
    for (const HostileChunk& c : cases) {
        const std::size_t before = log.count(c.message);
        send(concat({c.bytes, hub_chunk("B1", packet_of(MES_4, next))}));
        expected_rows += 2;
        ASSERT_TRUE(rows.wait_for(expected_rows)) << c.name;
        EXPECT_EQ(log.count(c.message), c.once_per_board ? 1u : before + 1) << c.name;
        const auto numbers = rows.numbers();
        ASSERT_EQ(numbers.size(), expected_rows) << c.name;
        EXPECT_EQ(numbers[expected_rows - 2], (std::pair<void*, double>{context(1), next})) << c.name;
        EXPECT_EQ(numbers[expected_rows - 1], (std::pair<void*, double>{context(1), next + 1})) << c.name;
        next += 2;
    }
    EXPECT_EQ(log.count("Packet interpretation error"), 0u);
    EXPECT_EQ(log.count("jumped"), 0u);  // the board's numbering went on undisturbed
    EXPECT_EQ(log.count("warning|Found error at packet init: 11. Continuing. (board B1)"), 1u);
    // Another board's refusal is its own line.
    send(hub_chunk("B2", Bytes{4}));
    send(hub_chunk("B1", packet_of(MES_4, next)));
    ASSERT_TRUE(rows.wait_for(expected_rows + 2));
    EXPECT_EQ(log.count("warning|Found error at packet init: 11. Continuing. (board B2)"), 1u);
}

TEST_F(HubTest, SsidsOfNoCharactersAndOfAllSixAreTheirOwnBoards) {
    ASSERT_EQ(corvel_set_board(context(2), "ABCDEF"), 0);
    start_reading();
    ASSERT_EQ(corvel_set_board(context(3), ""), 0);  // all boards
    send(concat({
        hub_chunk(std::string(6, '\0'), packet_of(MES_4, 1)),           // empty SSID
        hub_chunk(std::string("\0BCDEF", 6), packet_of(MES_4, 3)),      // empty too: the same board
        hub_chunk("ABCDEF", packet_of(MES_2, 1)),                       // six characters, no zero
        hub_chunk("ABCDEFG", packet_of(MES_2, 3)),                      // a seventh is not on the wire
    }));
    ASSERT_TRUE(rows.wait_for(12));
    using N = std::vector<std::pair<void*, double>>;
    EXPECT_EQ(rows.numbers(), (N{{context(3), 1}, {context(3), 2}, {context(3), 3}, {context(3), 4},
                                 {context(2), 1}, {context(3), 1}, {context(2), 2}, {context(3), 2},
                                 {context(2), 3}, {context(3), 3}, {context(2), 4}, {context(3), 4}}));
    EXPECT_EQ(count_lines(log, "info|Storing new SSID: "), 1u);
    EXPECT_EQ(count_lines(log, "info|Storing new SSID: ABCDEF"), 1u);

    char** list = nullptr;
    int count = 0;
    ASSERT_EQ(corvel_get_list_of_ssids(&list, &count), 0);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(list[0], lead_ssid);
    EXPECT_STREQ(list[1], "");
    EXPECT_STREQ(list[2], "ABCDEF");
    corvel_free_ssid_list(list, count);
    char* ssid = reinterpret_cast<char*>(1);
    ASSERT_EQ(corvel_get_ssid_by_idx(2, &ssid), 0);
    EXPECT_EQ(ssid, nullptr);  // an empty SSID is handed out as none
    ASSERT_EQ(corvel_get_ssid_by_idx(3, &ssid), 0);
    EXPECT_STREQ(ssid, "ABCDEF");
    corvel_free_ssid(ssid);

    // Write frames carry both: the empty one as six zero bytes.
    hub.clear_received();
    const unsigned char cmd[] = {7, 1, 2, 3, 4};
    ASSERT_EQ(corvel_write_data(cmd, sizeof cmd, context(3)), 0);
    ASSERT_TRUE(hub.wait_for_frames(1, 2s));
    const WriteFrame frame = hub.frames().at(0);
    ASSERT_EQ(frame.entries.size(), 3u);
    EXPECT_EQ(frame.entries[1].raw_ssid, (std::array<char, 6>{}));
    EXPECT_EQ(frame.entries[2].ssid, "ABCDEF");
}

TEST_F(HubTest, StreamEndingInsideAHeaderDecodesNothingAndReleasesPromptly) {
    ASSERT_EQ(corvel_set_board(context(1), "B1"), 0);
    start_reading();
    const std::size_t warnings = log.count("warning|");
    const Bytes chunk = hub_chunk("B1", packet_of(MES_4, 1));
    send(concat({chunk, Bytes(chunk.begin(), chunk.begin() + 7)}));
    ASSERT_TRUE(rows.wait_for(2));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(rows.size(), 2u);
    const auto start = std::chrono::steady_clock::now();
    corvel_release();
    ASSERT_TRUE(reader.wait_returned(2s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
    EXPECT_EQ(log.count("warning|"), warnings);
}

}  // namespace
