#include "session.h"

#include <cstdio>

#include "command_line.h"
#include "files.h"

namespace palvex_tools {

Session::Session(const Options& o, StopSignals& signals)
    : options_(o), signals_(signals), descriptor_(load_descriptor(o.descriptor_file)), log_(o.verbose) {
    const int rate = o.sample_rate ? o.sample_rate : descriptor_.sampling_rate;
    // A BDF+ file with a guessed rate would be wrong data.
    if (!o.bdf.empty() && rate == 0)
        throw UsageError("--bdf needs the sampling rate: give --sample-rate HZ or \"sampling_rate\" in the descriptor");
    const bool csv = !o.list && (o.bdf.empty() || !o.output.empty());
    if (csv && !o.output.empty()) check_can_create(o.output);
    if (!o.record.empty()) check_can_create(o.record);
    if (!o.bdf.empty()) {
        check_can_create(o.bdf);
        const bool live = !o.hub.empty() && o.record.empty();
        // A capture's bytes carry no clock: its files start at the time
        // given, or at EDF's date for an unknown one. Live files take the
        // clock when they open.
        std::optional<StartTime> start;
        if (!live) start = o.start_time ? *o.start_time : StartTime::unknown();
        bdf_ = std::make_unique<BdfOutput>(descriptor_.bdf, o.bdf, rate, live ? o.boards.size() : 0, start);
    }
    set_logger(log_.logger());
    set_board_json(descriptor_.text.c_str());
    csv_ = std::make_unique<CsvOutput>(descriptor_, o.output, csv, rate);
}

void Session::on_row(void* context, const double* row, size_t count) {
    Board& b = *static_cast<Board*>(context);
    b.session->row(b, row, count);
}

void Session::row(Board& b, const double* row, std::size_t count) {
    const std::size_t filler = static_cast<std::size_t>(descriptor_.filler_column);
    const std::size_t number = static_cast<std::size_t>(descriptor_.package_num_column);
    if (count <= filler || count <= number) return;  // never: the library hands out "num_rows" doubles
    const Place place = b.time.place(row[number], row[filler] == 1.0);
    b.progress_rows.store(b.time.rows(), std::memory_order_relaxed);
    b.family = family_from_row(b.family, descriptor_, row);
    const std::optional<LossRun> ended = b.time.take_ended();
    if (bdf_) {
        if (ended) bdf_->loss(&b, *ended);
        bdf_->row(&b, b.ssid, b.family, row, count, place);
    }
    csv_->row(b, row, count, place.index);
}

std::optional<std::string> Session::finish(Boards& boards, bool summary) {
    for (const auto& b : boards)
        if (const std::optional<LossRun> run = b->time.finish())
            if (bdf_) bdf_->loss(b.get(), *run);
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
