// Which signals a BDF+ file of a board holds, and how each is coded: the
// table behind palvex-decode --bdf, apart from the file writing.
//
// Every signal is stored as 24-bit digital values with a physical range
// chosen so that physical = gain * digital exactly for the board's own
// integer values (the int24 ExG counts times 0.045, for one): the digital
// value written is the integer the board sent, rounded back from the
// decoded double. Values outside the range are clipped (README, Tools).
#pragma once

#include <string>
#include <vector>

#include "families.h"

namespace palvex_tools {

// The descriptor's columns by group, as the library's layouts use them.
struct BdfColumns {
    std::vector<std::string> names;  // index = column
    std::vector<int> exg, accel, gyro, resistance, ppg, ppg_raw;
    int battery = -1;
};

// One stored signal: which row column, its label, unit and coding.
struct BdfSignal {
    int column = 0;
    std::string name;   // the column's name in the CSV
    // The 16-character label: the signal type, a space, then the name
    // (resistance_N shortened to res_N to fit), the form MNE-Python reads
    // types from: "EEG exg_0", "MISC accel_x".
    std::string label;
    std::string unit;
    double gain = 1;    // physical per digital step
    double offset = 0;  // physical at digital 0
    int dig_min = 0, dig_max = 0;
    double phys_min = 0, phys_max = 0;  // gain * dig + offset, short enough for the 8-character header fields
};

// The signals a board of `family` has, in file order. A board not told
// apart yet (Family::mes4_or_mes5) gets the PPG columns of both; a column
// named by two groups is stored once, under the first.
std::vector<BdfSignal> bdf_signals(const BdfColumns& columns, Family family);

}  // namespace palvex_tools
