// Where each row of a board sits in time. The packet number is the clock:
// a row's sample index is its number less the board's first, so nothing
// after a loss moves. The library fills every gap it sees with one filler
// row per missing number; a number missing without a filler (after a row
// numbered 0, which the library checks nothing after) keeps its place all
// the same. A lost packet is a missing number, two to a packet. The BDF+
// files, the CSV's time_s column, the loss annotations and the summary all
// read their times and counts from here.
#pragma once

#include <cstdint>
#include <optional>

namespace palvex_tools {

// One row's place on its board's time line.
struct Place {
    std::uint64_t index = 0;  // sample index
    // Numbers missing right before this row: samples index - holes .. index - 1
    // have no row.
    std::uint64_t holes = 0;
    // The number did not follow on (a counter restart, or a jump further than
    // the library fills): the time line goes on at the next index.
    bool restart = false;
    std::uint32_t from = 0, to = 0;  // the numbers before and at a restart
};

// A stretch of samples the host has no decoded rows for: the library's
// filler rows, and numbers missing without them.
struct LossRun {
    std::uint64_t start = 0, length = 0;  // sample indices
    // Packets that never arrived: the run's missing numbers, two a packet
    // (an odd one counts as a packet).
    std::uint64_t lost_packets = 0;
};

class TimeLine {
public:
    // Places a board's next row: its packet number and whether the library
    // marked it as a filler row.
    Place place(double number, bool filler);
    // The loss run that the last place() ended, once.
    std::optional<LossRun> take_ended();
    // Ends a run still open after the board's last row.
    std::optional<LossRun> finish();

    std::uint64_t rows() const { return rows_; }
    std::uint64_t fillers() const { return fillers_; }
    std::uint64_t lost_packets() const { return lost_packets_; }
    std::uint64_t restarts() const { return restarts_; }
    // The samples the board's rows span so far (the next row's index when
    // it follows on).
    std::uint64_t span() const { return next_; }
    std::uint32_t first_number() const { return first_; }
    std::uint32_t last_number() const { return last_; }

private:
    void open_run(std::uint64_t start);
    void close_run(std::uint64_t end);

    std::uint64_t rows_ = 0, fillers_ = 0, lost_packets_ = 0, restarts_ = 0;
    std::uint64_t next_ = 0;
    std::uint32_t first_ = 0, last_ = 0;
    bool in_run_ = false;
    LossRun run_;
    std::uint64_t run_missing_ = 0;  // filler rows and holes of the open run
    std::optional<LossRun> ended_;
};

}  // namespace palvex_tools
