// One board of a run: what palvex-decode learns of it from its rows, and
// the summary line that reports it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "columns.h"
#include "families.h"

namespace palvex_tools {

class Session;

// A board is also the host context the library hands back with its rows.
struct Board {
    Board(Session& s, std::string id) : session(&s), ssid(std::move(id)) {}

    Session* session;
    std::string ssid;
    std::string csv_ssid;  // as written in the CSV
    Family family = Family::unknown;
    std::uint64_t rows = 0;
    std::uint64_t fillers = 0;
    std::uint64_t lost_rows = 0;
    std::uint64_t dropped_rows = 0;
    std::uint64_t rejected = 0;  // buffers the library refused (wrong size, unknown type)
    bool refused = false;        // the library refused the descriptor for this board's family
    std::optional<std::int64_t> first_number;
    std::int64_t last_number = 0;
    std::vector<double> previous;
    std::uint64_t run = 0;  // filler rows in the current run
    std::atomic<std::uint64_t> progress_rows{0};

    // Counts one delivered row and tells whether it is a filler row: a copy
    // of the row before with only the packet number one higher.
    bool count_row(const double* row, std::size_t count, int package_num_column);
    // A filler run covers the lost packets plus the packet that revealed
    // the gap (the library replaces its rows too): two rows of each run are
    // not lost.
    void end_run();
};

using Boards = std::vector<std::unique_ptr<Board>>;

// "3 rows", "1 row".
std::string plural(std::uint64_t n, const char* word);

// One line per board on standard error, and the total for several.
void print_summary(Boards& boards, const Descriptor& d);

}  // namespace palvex_tools
