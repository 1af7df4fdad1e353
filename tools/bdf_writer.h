// BDF+ output of palvex-decode: one file per board, written with EDFlib.
//
// Every signal is stored as 24-bit digital values with a physical range
// chosen so that physical = gain * digital exactly for the board's own
// integer values (the int24 ExG counts times 0.045, for one): the digital
// value written is the integer the board sent, rounded back from the
// decoded double. Values outside the range are clipped (README, Tools).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
    std::string label;
    std::string unit;
    double gain = 1;    // physical per digital step
    double offset = 0;  // physical at digital 0
    int dig_min = 0, dig_max = 0;
    double phys_min = 0, phys_max = 0;  // gain * dig + offset, short enough for the 8-character header fields
};

// The signals a board of `family` has (format code 100: MES_4 or MES_5 not
// told apart yet, which gets the PPG columns of both).
std::vector<BdfSignal> bdf_signals(const BdfColumns& columns, int family);

class BdfFile;

// The BDF+ files of one run. Rows arrive on the library's thread, triggers
// on the main one; every call takes the lock.
class BdfOutput {
public:
    // `path` is the file of a single board; with several boards each file
    // gets the SSID before the extension. `expected_boards` is how many are
    // known to come (captures); live, a first board's file is renamed when a
    // second board shows up.
    BdfOutput(const BdfColumns& columns, std::string path, int rate, std::size_t expected_boards);
    ~BdfOutput();
    // Captures learn the number of boards on a first pass.
    void expect(std::size_t boards) { expected_ = boards; }

    // One decoded row of a board (`board` identifies it; `family` as known
    // when its first row arrives). `filler`: a row the library filled in.
    void row(const void* board, const std::string& ssid, int family, const double* row, std::size_t count,
             bool filler);
    // A "trigger" annotation in every open file, at its current time.
    void trigger();
    // Ends every file: the last, partial data record is padded with the last
    // row, open lost-packet runs are annotated, and the header is completed.
    void close();

    // The first problem (a file that could not be written), if any.
    std::string error() const;
    // Files written, in the order the boards first appeared.
    std::vector<std::string> paths() const;

private:
    std::string path_for(const std::string& ssid) const;

    BdfColumns columns_;
    std::string path_;
    int rate_;
    std::size_t expected_;
    mutable std::mutex mutex_;
    std::map<const void*, std::unique_ptr<BdfFile>> files_;
    std::vector<BdfFile*> order_;
    std::map<const void*, bool> failed_;
    std::string first_ssid_;
    std::string error_;
};

}  // namespace palvex_tools
