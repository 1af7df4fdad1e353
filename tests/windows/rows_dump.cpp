// Decodes a fixed set of buffers through the single-board exports and prints
// every row's doubles as the hex of their bit patterns, one row a line:
//   <case> <row> <count> <hex> <hex> ...
// Built by the Linux build and by the cross build, so the two decoders can be
// compared exactly: not "close", the same bits (a -0.0, a NaN payload or a
// last-place rounding difference between the toolchains shows up here).
//
//   palvex_rows_dump                 print the rows
//   palvex_rows_dump --compare FILE  compare them with FILE; exit 0 when equal
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "packet_builder.h"
#include "rows_cases.h"

using namespace palvex_test;

namespace {

struct Collected {
    std::vector<std::vector<double>> rows;
};

void on_row(void* context, const double* row, size_t count) {
    static_cast<Collected*>(context)->rows.emplace_back(row, row + count);
}

std::string dump() {
    std::ostringstream out;
    set_board_json(default_descriptor_json().c_str());
    for (const RowsCase& c : rows_cases()) {
        Collected got;
        release();  // a fresh decoder: every case starts its own loss accounting
        for (std::size_t b = 0; b < c.buffers.size(); ++b) {
            const int rc = interpret_data_fn(c.buffers[b].data(), c.buffers[b].size(), &on_row, &got);
            if (rc != 0) out << c.name << " buffer " << b << " rc " << rc << "\n";
        }
        for (std::size_t i = 0; i < got.rows.size(); ++i) {
            out << c.name << ' ' << i << ' ' << got.rows[i].size();
            for (double v : got.rows[i]) out << ' ' << bits_hex(v);
            out << '\n';
        }
    }
    release();
    return out.str();
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

int compare(const char* path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return 2;
    }
    std::ostringstream text;
    text << file.rdbuf();
    const auto expected = lines_of(text.str());
    const auto actual = lines_of(dump());
    int differences = 0;
    for (std::size_t i = 0; i < expected.size() || i < actual.size(); ++i) {
        const std::string* e = i < expected.size() ? &expected[i] : nullptr;
        const std::string* a = i < actual.size() ? &actual[i] : nullptr;
        if (e && a && *e == *a) continue;
        if (++differences <= 5) {
            std::fprintf(stderr, "line %zu\n  expected: %s\n  decoded:  %s\n", i + 1, e ? e->c_str() : "(none)",
                         a ? a->c_str() : "(none)");
        }
    }
    if (differences) {
        std::fprintf(stderr, "%d of %zu lines differ from %s\n", differences, expected.size(), path);
        return 1;
    }
    std::printf("%zu rows identical to %s\n", actual.size(), path);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--compare") == 0) return compare(argv[2]);
    if (argc != 1) {
        std::fprintf(stderr, "usage: palvex_rows_dump [--compare FILE]\n");
        return 2;
    }
    const std::string text = dump();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
}
