// What the soaks share: the process's resident memory and descriptors, and
// which of the soak's boards a delivered row belongs to.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

#include "default_descriptor.h"
#include "hub_host.h"

namespace palvex_test {

inline std::uint64_t resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

inline std::size_t open_descriptors() {
    std::size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) ++n;
        ::closedir(d);
    }
    return n;
}

// The board (0 .. boards-1) whose context(b) the row came with, or -1 when
// the row is none the soak expects: another context, length or a row whose
// column 29 is not 1.
inline int soak_board(void* ctx, const double* row, size_t count, int boards) {
    int b = 0;
    while (b < boards && context(b) != ctx) ++b;
    if (b == boards || count != default_row_length || row[29] != 1.0) return -1;
    return b;
}

// The rows of one board, written by the read loop's thread only: decoded or
// filled in (by the library's mark), and every number once, in order.
struct RowCount {
    std::uint64_t decoded = 0, filled = 0, out_of_order = 0;
    double first = -1, last = -1;

    void add(const double* row) {
        const double n = row[26];  // the descriptor's packet-number column
        if (first < 0) first = n;
        else if (n != last + 1) ++out_of_order;
        (row[default_filler_column] == 1.0 ? filled : decoded) += 1;
        last = n;
    }
};

}  // namespace palvex_test
