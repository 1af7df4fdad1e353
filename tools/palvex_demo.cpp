// Decodes a built-in sample stream of every packet family through the
// library's public interface and prints the first rows of each.
#include <cstdio>
#include <string>
#include <vector>

#include "command_line.h"
#include "families.h"
#include "packet_builder.h"
#include "palvex/palvex.h"

using namespace palvex_test;
using palvex_tools::family_name;
using palvex_tools::family_of;

namespace {

struct Printer {
    std::vector<std::string> names = default_descriptor_columns();
    int rows = 0;
    std::string numbers;

    static void on_row(void* context, const double* row, size_t count) {
        auto* self = static_cast<Printer*>(context);
        ++self->rows;
        // The default descriptor's filler column tells the rows the library filled in.
        self->numbers += " " + std::to_string(static_cast<long long>(row[26])) +
                         (row[default_filler_column] == 1.0 ? "*" : "");
        if (self->rows > 2) return;
        std::printf("  row %d:", self->rows);
        for (size_t c = 0; c < count; ++c)
            if (row[c] != 0.0) std::printf(" %s=%.10g", self->names[c].c_str(), row[c]);
        std::printf("\n");
    }
};

}  // namespace

static int decode_samples() {
    set_board_json(default_descriptor_json().c_str());
    for (const COMM_TYPE family : {WUA2, MES_2, IMP_3, MES_4, MES_5}) {
        release();
        Printer printer;
        std::printf("%s (%zu-byte buffers):\n", family_name(family_of(family)), buffer_length(family));
        // The packet carrying rows 9 and 10 never arrives: they come back as
        // filler rows, and every packet that did arrive is decoded.
        for (std::uint32_t n = 1; n < 22; n += 2) {
            if (n == 9) continue;
            const Bytes buffer = packet_of(family, n);
            const int rc = interpret_data_fn(buffer.data(), buffer.size(), &Printer::on_row, &printer);
            if (rc != 0) {
                std::fprintf(stderr, "interpret_data_fn returned %d\n", rc);
                return 1;
            }
        }
        std::printf("  ... %d rows, packet numbers (* filler rows):%s\n\n", printer.rows, printer.numbers.c_str());
    }
    release();
    return 0;
}

int main(int argc, char** argv) {
    return palvex_tools::run_tool("palvex-demo", [&] {
        for (palvex_tools::Arguments args(argc, argv); args.next();) {
            if (args.name() == "--version") {
                std::printf("%s\n", palvex_tools::version_line("palvex-demo").c_str());
                return 0;
            }
            if (args.name() == "--help" || args.name() == "-h") {
                std::printf("Usage: palvex-demo\n\nDecodes a built-in stream of every packet family, one packet "
                            "lost, through the\nlibrary's single-board exports and prints the first rows of each.\n");
                return 0;
            }
            throw palvex_tools::UsageError("unknown option '" + args.name() + "'");
        }
        return decode_samples();
    });
}
