// When each sample of one board stream was measured, on the host's clock,
// estimated online from when its buffers arrive.
//
// A buffer arrives some time after its newest sample was taken, never before:
// arrival = sampling time + a delay that is never negative. So the line from
// sample number to time follows the lower edge of the arrivals. The newest
// arrivals are kept as the lowest point of each short bucket of arrival time;
// the line is the one under all of them that lies highest at their centre
// (the edge of their lower convex hull there), which gives the rate, drift
// included, and the offset together. A delayed buffer lies above the edge and
// moves nothing; only an arrival earlier than the line can.
//
// The times handed out follow that line smoothly: when the estimate moves,
// the output closes the gap by a bounded change of its rate, never by a
// jump, and times never go backward for increasing sample numbers. Only the
// host's clock being set (arrivals a second or more off the line, for good)
// starts a new line at once.
//
// Fixed storage: nothing is allocated, and no call does more than a pass over
// a few dozen points.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace palvex {

class SampleClock {
public:
    // `nominal_rate` in samples per second, the starting point of the fit;
    // 0 (or anything not a positive finite number) estimates it from the stream.
    explicit SampleClock(double nominal_rate = 0.0);

    // A buffer arrived at `arrival_s` (seconds since the UNIX epoch) with
    // samples up to number `last_sample`. A non-finite time is ignored.
    void arrival(std::int64_t last_sample, double arrival_s);

    // The estimated sampling time (UNIX seconds) of `sample`: the rows of the
    // buffer just given and the numbers filled in before them. Increasing
    // numbers get increasing times across buffers. NaN before any arrival.
    double time_of(std::int64_t sample) const;

    // The counter restarted or jumped beyond what is filled in: the next
    // arrival starts a new line. A rate the stream showed is kept as its
    // starting point.
    void restart();

    // Samples per second of the current line; 0 before any arrival.
    double rate() const;

    // The window spans 4 s of arrivals or more: the fit is as good as its
    // window allows, and the output's rate stays within 1 % of the line's.
    bool settled() const;

private:
    struct Point {
        double x;  // sample number less the line's first
        double y;  // arrival less the line's first arrival, seconds
    };
    static constexpr std::size_t window_buckets = 24;

    struct Fit {
        double period;
        double offset;
        bool prior_wrong;  // the stream shows the rate to start from wrong
    };

    double relative(std::int64_t sample) const;
    double output(double x) const;  // relative time handed out for x
    void begin(std::int64_t last_sample, double arrival_s);
    void begin_again(std::int64_t last_sample, double arrival_s);
    bool add_point(Point p);  // whether the window's points changed
    Fit fit_window() const;
    void plan_output();

    double prior_period_;    // seconds per sample to start from; 0: none
    double prior_span_;      // the span of the stream it counts as
    double period_;          // of the current line
    double offset_ = 0.0;    // the line: y = offset_ + period_ * x
    double window_span_ = 0.0;

    bool has_line_ = false;
    std::int64_t base_sample_ = 0;
    double base_time_ = 0.0;
    double newest_x_ = 0.0;  // the highest sample number handed in
    double newest_y_ = 0.0;  // the latest arrival the fit has seen
    bool far_above_ = false; // the latest arrivals lie far above the line, since:
    double far_above_since_ = 0.0;

    // Closed buckets, oldest at `head_`, and the open one.
    struct Bucket {
        Point low;      // the arrival lowest under the line
        double length;  // seconds of arrivals it gathered
    };
    std::array<Bucket, window_buckets> closed_{};
    std::size_t head_ = 0;
    std::size_t count_ = 0;
    Point open_{};
    double open_start_ = 0.0;
    double open_length_ = 0.0;

    // The output: from (anchor_x_, anchor_t_) at `period_` plus a ramp of
    // `ramp_per_sample_` for the first `ramp_samples_` samples, which closes
    // the gap to the estimated line.
    double anchor_x_ = 0.0;
    double anchor_t_ = 0.0;
    double ramp_per_sample_ = 0.0;
    double ramp_samples_ = 0.0;
};

}  // namespace palvex
