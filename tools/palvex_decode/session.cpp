#include "session.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <spdlog/sinks/stdout_sinks.h>

#include "capture.h"
#include "command_line.h"

namespace palvex_tools {

Session::Session(const Options& o, StopSignals& signals)
    : options_(o), signals_(signals), descriptor_(load_descriptor(o.descriptor_file)) {
    // A BDF+ file with a guessed rate would be wrong data.
    const int rate = o.rate ? o.rate : descriptor_.sampling_rate;
    if (!o.bdf.empty() && rate == 0)
        throw UsageError("--bdf needs the sampling rate: give --rate HZ or \"sampling_rate\" in the descriptor");
    if (!o.bdf.empty()) {
        const auto slash = o.bdf.find_last_of('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : o.bdf.substr(0, slash);
        if (::access(dir.c_str(), W_OK) != 0) throw ToolError("cannot write " + o.bdf + ": " + std::strerror(errno));
        const bool live = !o.hub.empty() && o.record.empty();
        bdf_ = std::make_unique<BdfOutput>(descriptor_.bdf, o.bdf, rate, live ? o.boards.size() : 0);
    }
    // Fail before touching a hub or a file when the capture cannot be read.
    if (!o.capture.empty()) palvex_test::CaptureReader check(o.capture);
    logger_ = spdlog::stderr_logger_mt("palvex-decode");
    logger_->set_level(o.verbose ? spdlog::level::info : spdlog::level::warn);
    set_logger(logger_.get());
    set_board_json(descriptor_.text.c_str());
    csv_ = std::make_unique<CsvOutput>(descriptor_, o.output, o.bdf.empty() || !o.output.empty());
}

void Session::on_row(void* context, const double* row, size_t count) {
    Board& b = *static_cast<Board*>(context);
    b.session->row(b, row, count);
}

void Session::row(Board& b, const double* row, std::size_t count) {
    const bool filler = b.count_row(row, count, descriptor_.package_num_column);
    b.family = family_from_row(b.family, descriptor_, row);
    if (bdf_) bdf_->row(&b, b.ssid, b.family, row, count, filler);
    csv_->row(b, row, count, filler);
}

std::optional<std::string> Session::finish(Boards& boards) {
    if (bdf_) bdf_->close();
    // A CSV write that failed during the run comes first, then the BDF+
    // files, then the CSV's last flush.
    std::optional<std::string> error = csv_->error();
    if (!error && bdf_ && !bdf_->error().empty()) error = bdf_->error();
    csv_->close();
    if (!error) error = csv_->error();
    print_summary(boards, descriptor_);
    return error;
}

int exit_status(const std::optional<std::string>& error) {
    if (!error) return 0;
    std::fprintf(stderr, "palvex-decode: %s\n", error->c_str());
    return 1;
}

}  // namespace palvex_tools
