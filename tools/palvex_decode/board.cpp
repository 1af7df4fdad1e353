#include "board.h"

#include <cstdio>
#include <set>

namespace palvex_tools {

std::uint64_t Board::rejected() const {
    std::uint64_t n = 0;
    for (const auto& r : refusals) n += r.second;
    return n;
}

std::uint64_t Board::not_served_count() const {
    std::uint64_t n = 0;
    for (const auto& r : not_served) n += r.second;
    return n;
}

std::string plural(std::uint64_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string refusal_codes(const Boards& boards) {
    std::set<int> codes;
    for (const auto& b : boards)
        for (const auto& r : b->refusals) codes.insert(r.first);
    std::string list;
    std::size_t k = 0;
    for (const int c : codes) {
        list += (k == 0 ? "" : k + 1 == codes.size() ? " and " : ", ") + std::to_string(c);
        ++k;
    }
    return (codes.size() == 1 ? "result code " : "result codes ") + list;
}

void print_summary(const Boards& boards, const Descriptor& d) {
    std::uint64_t total = 0;
    for (const auto& bp : boards) {
        const Board& b = *bp;
        const TimeLine& t = b.time;
        total += t.rows();
        std::string line = "palvex-decode: board " + b.label + " (" + board_family_name(b.family, d) +
                           "): " + plural(t.rows(), "row") + ", " + plural(t.fillers(), "filler row") + ", " +
                           plural(t.lost_packets(), "lost packet");
        if (t.rows())
            line += ", packet numbers " + std::to_string(t.first_number()) + ".." + std::to_string(t.last_number());
        if (t.restarts())
            line += ", " + std::to_string(t.restarts()) +
                    (t.restarts() == 1 ? " counter discontinuity" : " counter discontinuities");
        if (b.rejected()) line += ", " + plural(b.rejected(), "buffer") + " refused by the library";
        for (const auto& [family, n] : b.not_served)
            line += ", " + plural(n, (std::string(family_name(family)) + " buffer").c_str()) +
                    " not decoded: the descriptor does not serve " + family_name(family);
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    if (boards.size() > 1)
        std::fprintf(stderr, "palvex-decode: %s from %zu boards\n", plural(total, "row").c_str(), boards.size());
}

}  // namespace palvex_tools
