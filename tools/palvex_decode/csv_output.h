// The CSV that palvex-decode writes: a header naming the columns, then one
// line per row with the board's SSID first and the filler mark last.
#pragma once

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
    // (only BDF+ wanted) nothing is written at all. Throws ToolError when
    // the file cannot be created.
    CsvOutput(const Descriptor& d, const std::string& path, bool write);
    ~CsvOutput() { close(); }
    CsvOutput(const CsvOutput&) = delete;
    CsvOutput& operator=(const CsvOutput&) = delete;

    // The header goes out once there is something to decode, so a run that
    // fails before (no hub, for one) leaves nothing on standard output.
    void start();
    void row(Board& b, const double* row, std::size_t count, bool filler);
    void close();
    // The first write that failed, if any.
    const std::optional<std::string>& error() const { return error_; }

private:
    void put(const char* data, std::size_t n);

    const Descriptor& d_;
    std::string path_;
    std::FILE* out_ = nullptr;
    std::vector<char> line_;
    std::optional<std::string> error_;
    bool started_ = false;
};

}  // namespace palvex_tools
