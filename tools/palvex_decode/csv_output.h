// The CSV that palvex-decode writes: a header naming the columns, then one
// line per row: the board's SSID, the row's time when a sampling rate is
// known, and the row's columns (the filler mark among them).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "columns.h"

namespace palvex_tools {

class CsvOutput {
public:
    // To `path`, or standard output when it is empty; with `write` false
    // (only BDF+ wanted, or --list) nothing is written at all. With a `rate`
    // (samples per second; 0 for none) each line has a time_s column: the
    // row's sample index on its board's time line over the rate.
    CsvOutput(const Descriptor& d, const std::string& path, bool write, int rate);
    ~CsvOutput() { close(); }
    CsvOutput(const CsvOutput&) = delete;
    CsvOutput& operator=(const CsvOutput&) = delete;

    // The file and the header come with the first row, so a run that
    // decodes nothing leaves no file and nothing on standard output.
    void row(Board& b, const double* row, std::size_t count, std::uint64_t index);
    void close();
    // The first write that failed, if any.
    const std::optional<std::string>& error() const { return error_; }

private:
    bool start();
    void put(const char* data, std::size_t n);

    const Descriptor& d_;
    std::string path_;
    bool write_;
    int rate_;
    std::FILE* out_ = nullptr;
    std::vector<char> line_;
    std::optional<std::string> error_;
};

}  // namespace palvex_tools
