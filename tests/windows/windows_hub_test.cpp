// Hub mode of the DLL end to end under Wine: the hub is the native one
// (native_hub/), started by a CTest fixture on [::1]:5005. From the greeting
// on it streams one chunk of each of hub_boards() every 20 ms, the same
// packets every time, whether or not the read loop runs yet; what it
// received is read back from its session file.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "packet_builder.h"
#include "read_thread.h"
#include "rows_cases.h"

using namespace palvex_test;
using namespace std::chrono_literals;

namespace {

// ---- what the native hub saw ----------------------------------------------

struct Session {
    std::size_t sessions = 0;
    std::string greeting;
    std::vector<std::string> frames;
    std::string received;
};

Session read_session() {
    Session s;
    std::ifstream in(PALVEX_NATIVE_HUB_SESSION_FILE, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        if (key == "sessions") s.sessions = std::stoul(value);
        else if (key == "greeting") s.greeting = value;
        else if (key == "frame") s.frames.push_back(value);
        else if (key == "received") s.received = value;
    }
    return s;
}

template <class Pred>
bool wait_session(Pred pred, std::chrono::milliseconds timeout = 3s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (pred(read_session())) return true;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

// Rows of the recorded set, by case name: the hub must deliver the bits
// the single-board path of the Linux build recorded for the same buffers.
std::map<std::string, std::vector<std::string>> reference_rows() {
    std::map<std::string, std::vector<std::string>> rows;
    std::ifstream in(PALVEX_ROWS_REFERENCE_FILE, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto space = line.find(' ');
        rows[line.substr(0, space)].push_back(line);
    }
    return rows;
}

// ---- the host --------------------------------------------------------------

struct Delivery {
    void* context;
    std::vector<double> row;
};

std::mutex mutex;
std::condition_variable changed;
std::vector<Delivery> deliveries;

void on_row(void* context, const double* row, size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    deliveries.push_back({context, std::vector<double>(row, row + count)});
    changed.notify_all();
}

bool wait_rows(std::size_t n, std::chrono::milliseconds timeout = 3s) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return deliveries.size() >= n; });
}

std::vector<Delivery> delivered() {
    std::lock_guard<std::mutex> lock(mutex);
    return deliveries;
}

void* context(int i) {
    static int tags[8];
    return &tags[i];
}

// Opens the connection and waits until the hub counts it as a new session.
void open_session() {
    const std::size_t before = read_session().sessions;
    ASSERT_EQ(corvel_open_connection("::1", nullptr), PALVEX_OK);
    ASSERT_TRUE(wait_session([&](const Session& s) { return s.sessions > before; }))
        << "the native hub never saw the session (is its fixture running?)";
}

std::string row_line(const std::string& name, std::size_t index, const std::vector<double>& row) {
    std::string line = name + ' ' + std::to_string(index) + ' ' + std::to_string(row.size());
    for (double v : row) line += ' ' + bits_hex(v);
    return line;
}

class WindowsHubSession : public ::testing::Test {
protected:
    void SetUp() override {
        set_board_json(default_descriptor_json().c_str());
        corvel_set_pcallback(&on_row);
    }
    void TearDown() override { corvel_release(); }
    ReadThread reader;
};

TEST_F(WindowsHubSession, GreetingIsAcceptedWithoutALogger) {
    open_session();
    const Session s = read_session();
    EXPECT_EQ(s.greeting, bytes_hex(Bytes{'H', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(corvel_open_connection("::1", nullptr), PALVEX_OK) << "already open";
    EXPECT_EQ(read_session().sessions, s.sessions) << "a second call opens nothing";
}

// The loop joins a stream that is already flowing and cut anywhere: after
// at most the chunk its first receive cut, every board's rows arrive, bit
// for bit those of the recorded set, and no SSID is made up on the way.
TEST_F(WindowsHubSession, RowsOfEveryBoardReachTheirContextsBitForBit) {
    const auto boards = hub_boards();
    for (std::size_t i = 0; i < boards.size(); ++i) ASSERT_EQ(corvel_set_board(context(int(i)), boards[i].ssid), 0);
    open_session();
    std::this_thread::sleep_for(100ms);  // the hub has been streaming for a while
    reader.start();
    const std::size_t rounds = 10;
    ASSERT_TRUE(wait_rows(2 * rounds * boards.size())) << delivered().size() << " rows";

    const auto reference = reference_rows();
    std::map<void*, std::size_t> per_board;
    for (const Delivery& d : delivered()) {
        std::size_t i = 0;
        while (i < boards.size() && context(int(i)) != d.context) ++i;
        ASSERT_LT(i, boards.size()) << "a row for a context nobody registered";
        const std::string name = hub_case_name(boards[i]);
        const auto& expected = reference.at(name);
        ASSERT_EQ(expected.size(), 2u) << name;
        const std::size_t r = per_board[d.context]++ % 2;  // rows 0 and 1 of the packet, round after round
        EXPECT_EQ(row_line(name, r, d.row), expected[r]) << "row " << r << " of " << boards[i].ssid;
    }
    for (std::size_t i = 0; i < boards.size(); ++i)
        EXPECT_GE(per_board[context(int(i))], 2 * (rounds - 2)) << boards[i].ssid;

    char** list = nullptr;
    int count = 0;
    ASSERT_EQ(corvel_get_list_of_ssids(&list, &count), 0);
    std::vector<std::string> ssids(list, list + count);
    corvel_free_ssid_list(list, count);
    std::sort(ssids.begin(), ssids.end());
    EXPECT_EQ(ssids, (std::vector<std::string>{"IMP3", "M5", "MES4AA", "WUA2xx"}));

    EXPECT_EQ(corvel_release(), 0);
    EXPECT_TRUE(reader.wait_returned(2s)) << "corvel_release did not end the read loop";
}

TEST_F(WindowsHubSession, WriteFrameReachesTheHubByteForByte) {
    ASSERT_EQ(corvel_set_board(context(1), "MES4AA"), 0);
    open_session();
    reader.start();
    // The board must have been met before it can be written to.
    ASSERT_TRUE(wait_rows(2));
    const unsigned char command[] = {0x03, 0x10};
    ASSERT_EQ(corvel_write_data(command, sizeof command, context(1)), 0);

    const Bytes expected = concat({{0, 1, 0, 0, 0}, {'M', 'E', 'S', '4', 'A', 'A'}, {5, 0, 0, 0}, {0x03, 0x10, 0, 0, 0}});
    ASSERT_EQ(expected.size(), 20u);
    EXPECT_TRUE(wait_session([](const Session& s) { return !s.frames.empty(); }));
    std::this_thread::sleep_for(100ms);  // nothing more may follow
    const Session s = read_session();
    EXPECT_EQ(s.frames, std::vector<std::string>{bytes_hex(expected)});
    EXPECT_EQ(s.received, bytes_hex(expected)) << "exactly one frame and nothing else";

    EXPECT_EQ(corvel_write_data(command, sizeof command, context(5)), PALVEX_ERR_NOT_REGISTERED);
    EXPECT_EQ(corvel_release(), 0);
    EXPECT_TRUE(reader.wait_returned(2s));
}

// The hub drops the connection and refuses new ones until told to listen
// again: the DLL's loop reconnects on its own, writes in between say there
// is no connection, and the rows go on.
bool control_hub(const char* command) {
    std::ofstream out(PALVEX_NATIVE_HUB_CONTROL_FILE, std::ios::binary | std::ios::trunc);
    return static_cast<bool>(out << command << "\n");
}

bool wait_for_state(int32_t wanted, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int32_t state = -1;
    while ((corvel_get_connection_state(&state, nullptr), state) != wanted) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST_F(WindowsHubSession, LoopReconnectsWhenTheHubDropsTheConnection) {
    ASSERT_EQ(corvel_set_board(context(1), "MES4AA"), 0);
    open_session();
    reader.start();
    ASSERT_TRUE(wait_rows(10));
    const std::size_t sessions = read_session().sessions;
    ASSERT_TRUE(control_hub("drop"));
    ASSERT_TRUE(wait_for_state(PALVEX_HUB_RECONNECTING, 5s));
    const unsigned char command[] = {0x03, 0x10};
    EXPECT_EQ(corvel_write_data(command, sizeof command, context(1)), PALVEX_ERR_NO_CONNECTION);
    ASSERT_TRUE(control_hub("listen"));
    ASSERT_TRUE(wait_for_state(PALVEX_HUB_CONNECTED, 10s));
    uint32_t reconnections = 0;
    corvel_get_connection_state(nullptr, &reconnections);
    EXPECT_EQ(reconnections, 1u);
    ASSERT_TRUE(wait_session([&](const Session& s) { return s.sessions > sessions; }));
    const std::size_t before = delivered().size();
    ASSERT_TRUE(wait_rows(before + 10)) << "no rows after the reconnection";
    ASSERT_EQ(corvel_write_data(command, sizeof command, context(1)), 0);
    EXPECT_TRUE(wait_session([](const Session& s) { return s.frames.size() == 1; }));
    EXPECT_EQ(corvel_release(), 0);
    EXPECT_TRUE(reader.wait_returned(2s));
}

// Stop and start in one process: after release, open arms hub mode again
// on the same connection and a new loop reads on.
TEST_F(WindowsHubSession, StopAndStartAgain) {
    ASSERT_EQ(corvel_set_board(context(1), "MES4AA"), 0);
    open_session();
    const std::size_t sessions = read_session().sessions;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(corvel_open_connection("::1", nullptr), PALVEX_OK);
        const std::size_t before = delivered().size();
        reader.start();
        ASSERT_TRUE(wait_rows(before + 10));
        EXPECT_EQ(corvel_release(), 0);
        ASSERT_TRUE(reader.wait_returned(2s));
    }
    EXPECT_EQ(read_session().sessions, sessions) << "the connection was kept across the stop";
}

}  // namespace
