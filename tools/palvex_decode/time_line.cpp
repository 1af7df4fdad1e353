#include "time_line.h"

#include <cmath>

#include "palvex/palvex.h"

namespace palvex_tools {
namespace {

// The row's number as the library reads it: truncated to 32 bits.
std::uint32_t number_of(double value) {
    if (!(std::fabs(value) < 9.0e18)) return 0;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)));
}

}  // namespace

Place TimeLine::place(double number, bool filler) {
    const std::uint32_t n = number_of(number);
    Place p;
    if (rows_ == 0) {
        first_ = n;
    } else {
        // Modulo 2^32 and signed, the way the library tells a loss from a
        // restart: what it would fill is a hole here, anything else restarts.
        const std::int64_t step = static_cast<std::int32_t>(n - last_);
        if (step >= 1 && step - 1 <= PALVEX_MAX_FILLED_ROWS) {
            p.holes = static_cast<std::uint64_t>(step - 1);
        } else {
            if (in_run_) close_run(next_);
            p.restart = true;
            p.from = last_;
            p.to = n;
            ++restarts_;
        }
    }
    p.index = next_ + p.holes;
    if (p.holes) {
        if (!in_run_) open_run(next_);
        run_missing_ += p.holes;
    }
    if (filler) {
        if (!in_run_) open_run(p.index);
        ++run_missing_;
        ++fillers_;
    } else if (in_run_) {
        close_run(p.index);
    }
    ++rows_;
    last_ = n;
    next_ = p.index + 1;
    return p;
}

std::optional<LossRun> TimeLine::take_ended() {
    std::optional<LossRun> out;
    out.swap(ended_);
    return out;
}

std::optional<LossRun> TimeLine::finish() {
    if (in_run_) close_run(next_);
    return take_ended();
}

void TimeLine::open_run(std::uint64_t start) {
    in_run_ = true;
    run_ = LossRun{};
    run_.start = start;
    run_missing_ = 0;
}

void TimeLine::close_run(std::uint64_t end) {
    in_run_ = false;
    run_.length = end - run_.start;
    run_.lost_packets = (run_missing_ + 1) / 2;
    lost_packets_ += run_.lost_packets;
    ended_ = run_;
}

}  // namespace palvex_tools
