// One run of palvex-decode: its options, the descriptor, the outputs every
// row goes to and the stop request. The library's row callback reaches the
// session through the board it hands back as context, so nothing is global.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "bdf_writer.h"
#include "board.h"
#include "columns.h"
#include "csv_output.h"
#include "library_log.h"
#include "options.h"
#include "stop_signals.h"

namespace palvex_tools {

class Session {
public:
    // Reads the descriptor and checks all that can be checked before a hub
    // or a file is touched, then hands the library the descriptor and a
    // logger. Outputs are created with the first row. Throws UsageError or
    // ToolError.
    Session(const Options& options, StopSignals& signals);

    const Options& options() const { return options_; }
    const Descriptor& descriptor() const { return descriptor_; }
    StopSignals& signals() { return signals_; }
    BdfOutput* bdf() { return bdf_.get(); }
    LibraryLog& log() { return log_; }

    // A board of this run; live, the library's reconnections so far are
    // its starting point.
    std::unique_ptr<Board> make_board(std::string ssid);

    // The library's data callback; `context` is a Board of this session.
    static void on_row(void* context, const double* row, size_t count);

    // Completes the outputs and, with `summary`, prints the summary of
    // `boards`. Returns the first output that failed, if any.
    std::optional<std::string> finish(Boards& boards, bool summary = true);

private:
    void row(Board& b, const double* row, std::size_t count);
    // Live: notes an outage the library recovered from since the board's
    // last row.
    void follow_connection(Board& b);

    const Options& options_;
    const bool live_;
    StopSignals& signals_;
    Descriptor descriptor_;
    LibraryLog log_;
    std::unique_ptr<BdfOutput> bdf_;
    std::unique_ptr<CsvOutput> csv_;
};

using Clock = std::chrono::steady_clock;

// "1.4": a span of time in seconds, as the messages give it.
std::string seconds_text(Clock::duration d);

// "no connection to a hub at HOST (port 5005) in 5.6 s: WHY".
std::string no_connection(const std::string& host, Clock::duration waited, const std::string& why);

// All rows of `boards`.
std::uint64_t rows_of(const Boards& boards);

// The exit status of a run that ended with `error`: it is printed as one
// line and the status is 1; without one, 0.
int exit_status(const std::optional<std::string>& error);

}  // namespace palvex_tools
