// The board descriptor as palvex-decode reads it: the text it hands the
// library, a name for every row column, the columns that tell a live
// board's family, and the groups a BDF+ file stores.
#pragma once

#include <string>
#include <vector>

#include "bdf_signals.h"
#include "families.h"

namespace palvex_tools {

struct Descriptor {
    std::string text;  // what the library reads: as given, or with a filler column added
    int num_rows = 0;
    int package_num_column = 0;
    // The column the library marks filler rows in ("filler_channel": 1.0 in
    // filler rows, 0.0 in decoded ones). A descriptor that names none gets
    // one more column at the end for it: values cannot tell a filler from a
    // board whose channels do not change.
    int filler_column = 0;
    int format_code_column = -1;
    // A raw PPG column nothing else writes: -1.0 in every MES_4 row, the
    // raw PPG value in MES_5 rows (the two share format code 4).
    int raw_ppg_only_column = -1;
    std::vector<std::string> names;
    BdfColumns bdf;
    int sampling_rate = 0;  // 0: not given
};

// Reads the descriptor at `path` (empty: the default descriptor) and names
// every column by the group that writes it; the first group to name a
// column wins (the default descriptor shares ppg and raw ppg columns), and
// the filler column is "filler". Throws ToolError saying what is wrong.
Descriptor load_descriptor(const std::string& path);

// What `known` becomes with one more row of the board. Live rows tell the
// family only by their format code, and MES_5 rows carry MES_4's code 4: a
// raw PPG value tells them apart where the descriptor gives raw PPG a
// column of its own.
Family family_from_row(Family known, const Descriptor& d, const double* row);

// A board's family in the summary. A board never told apart is a MES_4
// where the descriptor would have shown a MES_5's raw PPG.
const char* board_family_name(Family family, const Descriptor& d);

}  // namespace palvex_tools
