#include "packets/sample_clock.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace palvex {

namespace {

// A bucket spans this share of the line's age, between these bounds: a young
// line is fitted from nearly all it has seen, an old one from the last
// `window_buckets` half-seconds.
constexpr double bucket_share = 1.0 / 8;
constexpr double shortest_bucket_s = 1.0 / 64;
constexpr double longest_bucket_s = 0.5;

// A rate to start from counts as much as a fit over this much of the
// stream; the fit's weight grows with the cube of the line's age (the slope
// of a lower edge sharpens at least that fast), so the stream's own rate,
// drift included, soon takes over. A rate the stream showed before a
// restart counts as much as the window it came from.
constexpr double nominal_weight_s = 2.0;
// The window's span from which the line counts as settled.
constexpr double settled_span_s = 4.0;
// A settled fit that far from the rate to start from shows that rate wrong
// rather than the crystal off: it is dropped.
constexpr double implausible_drift = 0.005;
// Buffers this far off the line are no delay the fit should see. Under it,
// none can be: the host's clock went back. Above it, they may be buffers a
// hub held and sends at once, but soon those are on the line again; buffers
// that stay far above for `clock_set_s` show the host's clock set forward.
// Either way the output follows at once, on a new line.
constexpr double clock_step_s = 1.0;
constexpr double clock_set_s = 2.0;

// The output closes a gap to the line over about this time, changing its rate
// by at most the given share: quickly and by much while the line is young and
// its first arrivals' delays are still in it, gently once it is settled.
struct Pace {
    double catch_up_s;
    double slew;  // the largest share by which the output's rate differs from the line's
};
constexpr Pace young_pace{0.25, 0.2};
constexpr Pace settled_pace{1.0, 0.01};

// Without a nominal rate the first buffer shows none: this spaces its earlier
// samples until a second arrival does. It places nothing after them.
constexpr double unknown_period_s = 1.0 / 250;

double cross(const double ox, const double oy, const double ax, const double ay, const double bx,
             const double by) {
    return (ax - ox) * (by - oy) - (ay - oy) * (bx - ox);
}

}  // namespace

SampleClock::SampleClock(const double nominal_rate)
    : prior_period_(std::isfinite(nominal_rate) && nominal_rate > 0 ? 1.0 / nominal_rate : 0.0),
      prior_span_(nominal_weight_s),
      period_(prior_period_ > 0 ? prior_period_ : unknown_period_s) {}

double SampleClock::relative(const std::int64_t sample) const {
    // Wrapping subtraction: defined for any two numbers, exact for the
    // distances a stream has.
    const auto d = static_cast<std::uint64_t>(sample) - static_cast<std::uint64_t>(base_sample_);
    return static_cast<double>(static_cast<std::int64_t>(d));
}

double SampleClock::output(const double x) const {
    const double dx = x - anchor_x_;
    double t = anchor_t_ + period_ * dx;
    if (dx > 0) t += ramp_per_sample_ * std::min(dx, ramp_samples_);
    return t;
}

double SampleClock::time_of(const std::int64_t sample) const {
    if (!has_line_) return std::numeric_limits<double>::quiet_NaN();
    return base_time_ + output(relative(sample));
}

double SampleClock::rate() const { return has_line_ ? 1.0 / period_ : 0.0; }

bool SampleClock::settled() const { return has_line_ && window_span_ >= settled_span_s; }

void SampleClock::restart() {
    if (settled()) {
        prior_period_ = period_;
        prior_span_ = window_span_;
    }
    has_line_ = false;
}

void SampleClock::arrival(const std::int64_t last_sample, const double arrival_s) {
    if (!std::isfinite(arrival_s)) return;
    if (!has_line_) return begin(last_sample, arrival_s);
    const Point p{relative(last_sample), arrival_s - base_time_};
    const double above = p.y - (offset_ + period_ * p.x);
    if (above < -clock_step_s) return begin_again(last_sample, arrival_s);
    const bool far_above = above > clock_step_s;
    if (far_above && !far_above_) far_above_since_ = p.y;
    far_above_ = far_above;
    if (far_above && p.y - far_above_since_ >= clock_set_s) return begin_again(last_sample, arrival_s);

    // Everything up to the newest number so far may have been handed out:
    // the output continues from there.
    anchor_t_ = output(newest_x_);
    anchor_x_ = newest_x_;
    newest_x_ = std::max(newest_x_, p.x);
    if (!far_above) {
        newest_y_ = p.y;
        // Most arrivals lower no bucket's minimum: the line stays as it was.
        if (add_point(p)) {
            const Fit fit = fit_window();
            period_ = fit.period;
            offset_ = fit.offset;
            if (fit.prior_wrong) prior_period_ = 0.0;
        }
    }
    plan_output();
}

void SampleClock::begin(const std::int64_t last_sample, const double arrival_s) {
    has_line_ = true;
    base_sample_ = last_sample;
    base_time_ = arrival_s;
    newest_x_ = newest_y_ = 0.0;
    count_ = head_ = 0;
    open_ = {0.0, 0.0};
    open_start_ = 0.0;
    open_length_ = shortest_bucket_s;
    window_span_ = 0.0;
    far_above_ = false;
    period_ = prior_period_ > 0 ? prior_period_ : unknown_period_s;
    offset_ = 0.0;
    anchor_x_ = anchor_t_ = 0.0;
    ramp_per_sample_ = ramp_samples_ = 0.0;
}

void SampleClock::begin_again(const std::int64_t last_sample, const double arrival_s) {
    restart();
    begin(last_sample, arrival_s);
}

bool SampleClock::add_point(const Point p) {
    bool changed = true;
    // A bucket closes when its time is up, or when the host's clock went
    // back before its start.
    if (p.y >= open_start_ + open_length_ || p.y < open_start_) {
        if (count_ == window_buckets) {
            head_ = (head_ + 1) % window_buckets;
            --count_;
        }
        closed_[(head_ + count_) % window_buckets] = {open_, open_length_};
        ++count_;
        open_ = p;
        open_start_ = p.y;
        open_length_ = std::clamp(p.y * bucket_share, shortest_bucket_s, longest_bucket_s);
    } else if (p.y - period_ * p.x < open_.y - period_ * open_.x) {
        open_ = p;
    } else {
        changed = false;
    }
    window_span_ = p.y - (count_ > 0 ? closed_[head_].low.y : open_.y);
    return changed;
}

SampleClock::Fit SampleClock::fit_window() const {
    // The window's points ordered by sample number; of equal numbers the
    // earliest arrival. Buckets come in arrival order, which is almost always
    // number order, so the insertion sort does next to nothing.
    std::array<Point, window_buckets + 1> pts;
    std::size_t n = 0;
    // Each point stands for its bucket's stretch of the stream: a young
    // line's short buckets would otherwise pull the centre to its start.
    double sum_x = 0.0;
    double sum_length = 0.0;
    auto insert = [&](const Point q, const double length) {
        sum_x += length * q.x;
        sum_length += length;
        std::size_t i = n;
        while (i > 0 && pts[i - 1].x > q.x) {
            pts[i] = pts[i - 1];
            --i;
        }
        if (i > 0 && pts[i - 1].x == q.x) {
            // Close the hole the shift opened, keeping the lower point.
            for (std::size_t j = i; j < n; ++j) pts[j] = pts[j + 1];
            pts[i - 1].y = std::min(pts[i - 1].y, q.y);
            return;
        }
        pts[i] = q;
        ++n;
    };
    for (std::size_t k = 0; k < count_; ++k) {
        const Bucket& b = closed_[(head_ + k) % window_buckets];
        insert(b.low, b.length);
    }
    insert(open_, open_length_);
    const double mean_x = sum_x / sum_length;

    // Lower convex hull, then its edge above the mean number: the highest
    // line that no point lies under, where the points are. (Their middle
    // would do as well in a steady stream, but just after a long outage it
    // lies in the gap, and the line would run through the one new arrival,
    // delay and all.)
    std::array<Point, window_buckets + 1> hull;
    std::size_t m = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Point& q = pts[i];
        while (m >= 2 &&
               cross(hull[m - 2].x, hull[m - 2].y, hull[m - 1].x, hull[m - 1].y, q.x, q.y) <= 0)
            --m;
        hull[m++] = q;
    }
    double fitted = 0.0;
    for (std::size_t i = 0; i + 1 < m; ++i) {
        if (hull[i + 1].x >= mean_x || i + 2 == m) {
            fitted = (hull[i + 1].y - hull[i].y) / (hull[i + 1].x - hull[i].x);
            break;
        }
    }
    Fit fit{period_, 0.0, false};
    if (std::isfinite(fitted) && fitted > 0) {
        fit.prior_wrong = prior_period_ > 0 && window_span_ >= settled_span_s &&
                          std::fabs(fitted / prior_period_ - 1) > implausible_drift;
        if (prior_period_ > 0 && !fit.prior_wrong) {
            const double w = std::pow(newest_y_ / prior_span_, 3);
            fit.period = (prior_period_ + w * fitted) / (1 + w);
        } else {
            fit.period = fitted;
        }
    }
    fit.offset = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i)
        fit.offset = std::min(fit.offset, pts[i].y - fit.period * pts[i].x);
    return fit;
}

void SampleClock::plan_output() {
    const double gap = offset_ + period_ * anchor_x_ - anchor_t_;
    const Pace pace = settled() ? settled_pace : young_pace;
    const double share = std::clamp(gap / pace.catch_up_s, -pace.slew, pace.slew);
    if (share == 0.0) {
        ramp_per_sample_ = ramp_samples_ = 0.0;
        return;
    }
    ramp_per_sample_ = share * period_;
    ramp_samples_ = gap / ramp_per_sample_;
}

}  // namespace palvex
