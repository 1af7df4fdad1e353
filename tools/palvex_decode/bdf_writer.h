// BDF+ output of palvex-decode: one file per board, written with EDFlib,
// holding the signals bdf_signals() gives the board's family.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bdf_signals.h"

namespace palvex_tools {

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
    void row(const void* board, const std::string& ssid, Family family, const double* row, std::size_t count,
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
