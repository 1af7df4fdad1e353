// BDF+ output of palvex-decode: one file per board, written with EDFlib,
// holding the signals bdf_signals() gives the board's family.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bdf_signals.h"
#include "start_time.h"
#include "time_line.h"

namespace palvex_tools {

class BdfFile;

// The BDF+ files of one run. Rows arrive on the library's thread, triggers
// on the main one; every call takes the lock.
//
// Each file keeps its board's time line (time_line.h): a row is written at
// its sample index, the samples of rows the host never received are copies
// of the row before them, and every loss run is annotated over its span, so
// a file lasts its span of packet numbers and every annotation sits at its
// true time.
class BdfOutput {
public:
    // `path` is the file of a single board; with several boards each file
    // gets the SSID before the extension. `expected_boards` is how many are
    // known to come (captures); live, a first board's file is renamed when a
    // second board shows up. `start` is the clock of every file's first
    // sample; without one (live) each file starts when it opens.
    BdfOutput(const BdfColumns& columns, std::string path, int rate, std::size_t expected_boards,
              std::optional<StartTime> start);
    ~BdfOutput();
    // Captures learn the number of boards on a first pass.
    void expect(std::size_t boards) { expected_ = boards; }
    // The clock of the first sample, for files not opened yet.
    void set_start(const StartTime& start);

    // One row of a board (`board` identifies it; `family` as known when its
    // first row arrives) at its place on the board's time line.
    void row(const void* board, const std::string& ssid, Family family, const double* row, std::size_t count,
             const Place& place);
    // A "lost packets: N" annotation over the run.
    void loss(const void* board, const LossRun& run);
    // A "hub connection lost" annotation over samples [start, end) of the
    // board's file; at start alone when the span is empty.
    void connection_lost(const void* board, std::uint64_t start, std::uint64_t end);
    // A "trigger" annotation in every open file, at its current time.
    void trigger();
    // Ends every file: the last, partial data record is padded with the last
    // row and the header is completed.
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
    std::optional<StartTime> start_;
    mutable std::mutex mutex_;
    std::map<const void*, std::unique_ptr<BdfFile>> files_;
    std::vector<BdfFile*> order_;
    std::map<const void*, bool> failed_;
    std::string first_ssid_;
    std::string error_;
};

}  // namespace palvex_tools
