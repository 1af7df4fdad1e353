// One board of a run: what palvex-decode learns of it from its rows, and
// the summary line that reports it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "columns.h"
#include "families.h"
#include "ssid_text.h"
#include "time_line.h"

namespace palvex_tools {

class Session;

// A board is also the host context the library hands back with its rows.
struct Board {
    Board(Session& s, std::string id) : session(&s), ssid(std::move(id)), label(shown_ssid(ssid)) {}

    Session* session;
    std::string ssid;           // its bytes, as the library knows the board
    std::string label;          // as messages and the CSV show it (shown_ssid)
    std::string csv_ssid;       // as written in the CSV
    Family family = Family::unknown;
    TimeLine time;              // rows, fillers and losses, by packet number
    std::uint64_t packets = 0;  // buffers handed to the library (captures)
    std::map<int, std::uint64_t> refusals;  // buffers the library refused, by result code (6 apart)
    // Buffers of families the descriptor cannot serve (result code 6), by
    // family: each costs itself, the board's other buffers are decoded.
    std::map<Family, std::uint64_t> not_served;
    std::atomic<std::uint64_t> progress_rows{0};
    // Live, on the library's thread: its count of reconnections when the
    // board's last row came, and the sample an outage began at on the
    // board's time line, until the board's next decoded row ends it.
    std::uint32_t reconnections = 0;
    std::optional<std::uint64_t> lost_from;

    std::uint64_t rejected() const;
    std::uint64_t not_served_count() const;
};

using Boards = std::vector<std::unique_ptr<Board>>;

// "3 rows", "1 row".
std::string plural(std::uint64_t n, const char* word);

// "result code 1", "result codes 1 and 11": the codes the library refused
// the boards' buffers with.
std::string refusal_codes(const Boards& boards);

// One line per board on standard error, and the total for several.
void print_summary(const Boards& boards, const Descriptor& d);

}  // namespace palvex_tools
