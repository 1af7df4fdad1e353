#include "session.h"

#include <cstdio>

#include "command_line.h"
#include "files.h"
#include "palvex/palvex.h"

namespace palvex_tools {

Session::Session(const Options& o, StopSignals& signals)
    : options_(o),
      live_(!o.hub.empty() && o.record.empty()),
      signals_(signals),
      descriptor_(load_descriptor(o.descriptor_file)),
      log_(o.verbose) {
    const int rate = o.sample_rate ? o.sample_rate : descriptor_.sampling_rate;
    // A BDF+ file with a guessed rate would be wrong data.
    if (!o.bdf.empty() && rate == 0)
        throw UsageError("--bdf needs the sampling rate: give --sample-rate HZ or \"sampling_rate\" in the descriptor");
    const bool csv = !o.list && (o.bdf.empty() || !o.output.empty());
    if (csv && !o.output.empty()) check_can_create(o.output);
    if (!o.record.empty()) check_can_create(o.record);
    if (!o.bdf.empty()) {
        check_can_create(o.bdf);
        // A capture's bytes carry no clock: its files start at the time
        // given, or at EDF's date for an unknown one. Live files take the
        // clock when they open.
        std::optional<StartTime> start;
        if (!live_) start = o.start_time ? *o.start_time : StartTime::unknown();
        bdf_ = std::make_unique<BdfOutput>(descriptor_.bdf, o.bdf, rate, live_ ? o.boards.size() : 0, start);
    }
    set_logger(log_.logger());
    set_board_json(descriptor_.text.c_str());
    csv_ = std::make_unique<CsvOutput>(descriptor_, o.output, csv, rate);
}

std::unique_ptr<Board> Session::make_board(std::string ssid) {
    auto b = std::make_unique<Board>(*this, std::move(ssid));
    // Read before the board is registered: its rows come after.
    if (live_) corvel_get_connection_state(nullptr, &b->reconnections);
    return b;
}

void Session::on_row(void* context, const double* row, size_t count) {
    Board& b = *static_cast<Board*>(context);
    b.session->row(b, row, count);
}

void Session::row(Board& b, const double* row, std::size_t count) {
    const std::size_t filler = static_cast<std::size_t>(descriptor_.filler_column);
    const std::size_t number = static_cast<std::size_t>(descriptor_.package_num_column);
    if (count <= filler || count <= number) return;  // never: the library hands out "num_rows" doubles
    if (live_) follow_connection(b);
    const bool is_filler = row[filler] == 1.0;
    const Place place = b.time.place(row[number], is_filler);
    b.progress_rows.store(b.time.rows(), std::memory_order_relaxed);
    b.family = family_from_row(b.family, descriptor_, row);
    const std::optional<LossRun> ended = b.time.take_ended();
    if (bdf_) {
        if (ended) bdf_->loss(&b, *ended);
        bdf_->row(&b, b.ssid, b.family, row, count, place);
        // The first decoded row after an outage ends it on this board's
        // time line; the filler rows before it are what the outage cost.
        if (b.lost_from && !is_filler) bdf_->connection_lost(&b, *b.lost_from, place.index);
    }
    if (!is_filler) b.lost_from.reset();
    csv_->row(b, row, count, place.index);
}

void Session::follow_connection(Board& b) {
    // The loop counts a reconnection before it reads the new connection, so
    // the first row from there on sees the new count; the board's rows so
    // far end where the outage began.
    std::uint32_t reconnections = b.reconnections;
    corvel_get_connection_state(nullptr, &reconnections);
    if (reconnections == b.reconnections) return;
    b.reconnections = reconnections;
    if (b.time.rows() > 0 && !b.lost_from) b.lost_from = b.time.span();
}

std::optional<std::string> Session::finish(Boards& boards, bool summary) {
    for (const auto& b : boards) {
        if (const std::optional<LossRun> run = b->time.finish())
            if (bdf_) bdf_->loss(b.get(), *run);
        // An outage no decoded row of the board came after lasts to its end.
        if (b->lost_from && bdf_) bdf_->connection_lost(b.get(), *b->lost_from, b->time.span());
    }
    if (bdf_) bdf_->close();
    // A CSV write that failed during the run comes first, then the BDF+
    // files, then the CSV's last flush.
    std::optional<std::string> error = csv_->error();
    if (!error && bdf_ && !bdf_->error().empty()) error = bdf_->error();
    csv_->close();
    if (!error) error = csv_->error();
    if (summary) print_summary(boards, descriptor_);
    return error;
}

std::string seconds_text(Clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::chrono::duration<double>(d).count());
    return text;
}

std::string no_connection(const std::string& host, Clock::duration waited, const std::string& why) {
    return "no connection to a hub at " + host + " (port 5005) in " + seconds_text(waited) + " s: " + why;
}

std::uint64_t rows_of(const Boards& boards) {
    std::uint64_t n = 0;
    for (const auto& b : boards) n += b->time.rows();
    return n;
}

int exit_status(const std::optional<std::string>& error) {
    if (!error) return 0;
    std::fprintf(stderr, "palvex-decode: %s\n", error->c_str());
    return 1;
}

}  // namespace palvex_tools
