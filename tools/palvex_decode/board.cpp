#include "board.h"

#include <cstdio>

namespace palvex_tools {

bool Board::count_row(const double* row, std::size_t count, int package_num_column) {
    const auto number = static_cast<std::int64_t>(row[package_num_column]);
    bool filler = false;
    if (!previous.empty() && number == last_number + 1) {
        filler = true;
        for (std::size_t c = 0; c < count && filler; ++c)
            if (static_cast<int>(c) != package_num_column && !(row[c] == previous[c])) filler = false;
    }
    if (!previous.empty() && number > last_number + 1) dropped_rows += static_cast<std::uint64_t>(number - last_number - 1);
    if (filler) {
        ++fillers;
        ++run;
    } else {
        end_run();
    }
    if (!first_number) first_number = number;
    last_number = number;
    previous.assign(row, row + count);
    ++rows;
    progress_rows.store(rows, std::memory_order_relaxed);
    return filler;
}

void Board::end_run() {
    if (run > 2) lost_rows += run - 2;
    run = 0;
}

std::string plural(std::uint64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

void print_summary(Boards& boards, const Descriptor& d) {
    if (boards.empty()) std::fprintf(stderr, "palvex-decode: no board seen\n");
    std::uint64_t total = 0;
    for (const auto& bp : boards) {
        Board& b = *bp;
        b.end_run();
        total += b.rows;
        std::string line = "palvex-decode: board " + b.ssid + " (" + board_family_name(b.family, d) +
                           "): " + plural(b.rows, "row") + ", " + plural(b.fillers, "filler row") + ", " +
                           plural((b.lost_rows + 1) / 2, "lost packet") + ", " +
                           plural((b.dropped_rows + 1) / 2, "dropped packet");
        if (b.first_number)
            line += ", packet numbers " + std::to_string(*b.first_number) + ".." + std::to_string(b.last_number);
        if (b.rejected) line += ", " + plural(b.rejected, "buffer") + " refused by the library";
        if (b.refused) line += ", not decoded: the descriptor does not serve " + std::string(family_name(b.family));
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    if (boards.size() > 1)
        std::fprintf(stderr, "palvex-decode: %s from %zu boards\n", plural(total, "row").c_str(), boards.size());
}

}  // namespace palvex_tools
