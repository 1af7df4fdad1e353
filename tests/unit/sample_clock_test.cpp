// The sample clock on a simulated clock: a board with its own rate error
// streams packets of two samples that reach the host 0 to 15 ms late, in
// order, one in 50 never; the host notes each arrival and asks for the time
// of every number it hands out, the lost ones included, as the decoder's
// loss accounting does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "packets/sample_clock.h"

using palvex::SampleClock;

namespace {

constexpr double nominal_rate = 250.0;
constexpr std::int64_t samples_per_packet = 2;
constexpr double board_start = 1.8e9 + 0.37;  // UNIX seconds

struct Stretch {
    double from = -1;  // seconds of board time; -1: none
    double to = -1;
    bool holds(double t) const { return t >= from && t < to; }
};

struct Scenario {
    const char* name;
    double given_rate;  // handed to the clock: the nominal rate, or 0
    double ppm;         // the board's true rate error
    double duration = 16;
    double checked_from = 10;     // rows from here on are held to the tolerance
    double tolerance = 0.002;      // seconds from the true sampling time
    double smooth_from = 0;        // intervals from here on are held near the board's
    std::vector<double> spikes{};  // a packet sampled here is 200 ms late
    Stretch held{};                // the hub holds these packets and sends them at once at the end
    Stretch congested{};           // every packet 60 to 80 ms late
    Stretch outage{};              // nothing arrives; the numbers go on
    double restart_at = -1;        // the board restarts: numbers from 1 again
    double clock_set_at = -1;      // the host's clock is set forward or back by `clock_step`
    double clock_step = 0;
};

struct Row {
    std::int64_t number;
    double time;
    double truth;  // on the host's clock
    double at;     // board time: seconds since the stream began
    bool filler;
    int line;
};

struct Streamed {
    std::vector<Row> rows;
    double final_rate;
    double true_rate;
};

// The board and the path to the host, then the host's side.
Streamed stream(const Scenario& s, const unsigned seed) {
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> jitter(0.0, 0.015);
    std::uniform_real_distribution<double> congestion(0.060, 0.080);
    std::bernoulli_distribution lost(1.0 / 50);
    const double rate = nominal_rate * (1 + s.ppm * 1e-6);

    SampleClock clock(s.given_rate);
    Streamed run{{}, 0.0, rate};
    double line_start = board_start;  // when the counter was last 0
    std::int64_t next = 1;            // the board's next sample number
    std::int64_t handed_out = -1;     // the host's newest number, -1: none on this line
    double previous_arrival = 0.0;
    int line = 0;
    for (;;) {
        const std::int64_t last = next + samples_per_packet - 1;
        const double sampled = line_start + static_cast<double>(last) / rate;
        const double t = sampled - board_start;  // board time of the packet
        if (t > s.duration) break;
        if (s.restart_at >= 0 && t >= s.restart_at && line_start == board_start) {
            line_start = board_start + s.restart_at;
            next = 1;
            continue;
        }
        next = last + 1;
        if (lost(random) || s.outage.holds(t)) continue;
        double delay = jitter(random);
        for (const double spike : s.spikes)
            if (t >= spike && t < spike + samples_per_packet / rate) delay += 0.200;
        if (s.held.holds(t)) delay += s.held.to - t;
        if (s.congested.holds(t)) delay += congestion(random);
        // One link, in order: a late packet holds back the ones behind it.
        double arrival = std::max(previous_arrival, sampled + delay);
        previous_arrival = arrival;
        // The host's clock, and what it would have read when the sample was taken.
        double host_offset = 0.0;
        if (s.clock_set_at >= 0 && arrival - board_start >= s.clock_set_at) host_offset = s.clock_step;
        arrival += host_offset;

        if (handed_out >= 0 && last <= handed_out) {
            clock.restart();
            handed_out = -1;
            ++line;
        }
        clock.arrival(last, arrival);
        const std::int64_t first = handed_out < 0 ? last - samples_per_packet + 1 : handed_out + 1;
        for (std::int64_t n = first; n <= last; ++n) {
            const double taken = line_start + static_cast<double>(n) / rate;
            run.rows.push_back({n, clock.time_of(n), taken + host_offset, taken - board_start,
                                n <= last - samples_per_packet, line});
        }
        handed_out = last;
    }
    run.final_rate = clock.rate();
    return run;
}

class SimulatedBoard : public testing::TestWithParam<Scenario> {};

TEST_P(SimulatedBoard, TimesFollowTheBoardsClock) {
    const Scenario& s = GetParam();
    for (const unsigned seed : {1u, 2u, 3u}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const Streamed run = stream(s, seed);
        ASSERT_GT(run.rows.size(), 1000u);
        const double period = 1.0 / run.true_rate;
        double worst = 0.0;
        double worst_filler = 0.0;
        std::size_t fillers = 0;
        int clock_steps = 0;
        for (std::size_t i = 0; i < run.rows.size(); ++i) {
            const Row& r = run.rows[i];
            if (i > 0 && run.rows[i - 1].line == r.line) {
                const Row& p = run.rows[i - 1];
                ASSERT_EQ(r.number, p.number + 1);
                const double interval = r.time - p.time;
                // Setting the host's clock is the one jump: at once when it
                // goes back, once the arrivals stayed far above the line when
                // it goes forward.
                if (s.clock_step != 0 && std::fabs(interval - s.clock_step) < 0.1) {
                    ++clock_steps;
                    continue;
                }
                ASSERT_GT(interval, 0.0) << "at number " << r.number;
            }
            if (i > 0 && run.rows[i - 1].line == r.line && r.at >= s.smooth_from) {
                // Never a jump: the interval to the row before stays near the board's.
                const Row& p = run.rows[i - 1];
                const double interval = r.time - p.time;
                ASSERT_GT(interval, 0.5 * period) << "at number " << r.number;
                ASSERT_LT(interval, 1.5 * period) << "at number " << r.number;
                if (p.at >= s.checked_from) {
                    ASSERT_GT(interval, 0.98 * period) << "at number " << r.number;
                    ASSERT_LT(interval, 1.02 * period) << "at number " << r.number;
                }
            }
            if (r.at < s.checked_from) continue;
            const double error = std::fabs(r.time - r.truth);
            worst = std::max(worst, error);
            if (r.filler) {
                worst_filler = std::max(worst_filler, error);
                ++fillers;
            }
        }
        EXPECT_EQ(clock_steps, s.clock_step != 0 ? 1 : 0);
        EXPECT_LT(worst, s.tolerance);
        EXPECT_GT(fillers, 0u);
        EXPECT_LT(worst_filler, s.tolerance);
        // The drift itself was found, not only hidden by the window.
        EXPECT_NEAR(run.final_rate / run.true_rate - 1, 0.0, 100e-6);
    }
}

std::vector<Scenario> scenarios() {
    std::vector<Scenario> all;
    auto add = [&](const char* name, double given_rate, double ppm) -> Scenario& {
        return all.emplace_back(Scenario{name, given_rate, ppm});
    };
    add("fast_board_with_nominal_rate", nominal_rate, +300);
    add("slow_board_with_nominal_rate", nominal_rate, -300);
    // Without a rate the first buffers show only a rough one.
    add("fast_board_without_rate", 0, +300).smooth_from = 0.5;
    add("slow_board_without_rate", 0, -300).smooth_from = 0.5;
    Scenario& spikes = add("delay_spikes_and_a_held_second", nominal_rate, +300);
    spikes.spikes = {10.5, 11.2, 11.9};
    spikes.held = {13.0, 14.0};
    // Far above the line, but only for as long as the burst takes.
    add("hub_holds_three_seconds", nominal_rate, -300).held = {11.0, 14.0};
    add("congested_link", nominal_rate, +300).congested = {11.0, 13.0};
    add("outage_of_five_seconds", nominal_rate, +300).outage = {9.0, 14.0};
    Scenario& long_outage = add("outage_longer_than_the_window", 0, -300);
    long_outage.duration = 40;
    long_outage.smooth_from = 0.5;
    long_outage.outage = {15.0, 35.0};
    // The numbers of a gap are placed by the rate alone: its error (under
    // 100 ppm) times 20 s.
    long_outage.tolerance = 0.004;
    Scenario& restart = add("restart", nominal_rate, +300);
    restart.duration = 20;
    restart.restart_at = 6.0;
    Scenario& back = add("host_clock_set_back_an_hour", nominal_rate, +300);
    back.duration = 20;
    back.clock_set_at = 8.0;
    back.clock_step = -3600;
    // Forward looks like a held burst until the arrivals have stayed far
    // above the line for a while.
    Scenario& forward = add("host_clock_set_forward_an_hour", nominal_rate, +300);
    forward.duration = 20;
    forward.checked_from = 14;
    forward.clock_set_at = 8.0;
    forward.clock_step = 3600;
    return all;
}

INSTANTIATE_TEST_SUITE_P(Streams, SimulatedBoard, testing::ValuesIn(scenarios()),
                         [](const testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

TEST(SampleClock, AWrongNominalRateGivesWayToTheStreams) {
    // Nominal 250, the board runs at 256: far beyond a crystal's error.
    Scenario s{"", nominal_rate, 24000};
    const Streamed run = stream(s, 7);
    EXPECT_NEAR(run.final_rate, run.true_rate, run.true_rate * 50e-6);
    const Row& last = run.rows.back();
    EXPECT_LT(std::fabs(last.time - last.truth), 0.002);
}

TEST(SampleClock, WithoutArrivalsThereIsNoTime) {
    SampleClock clock(nominal_rate);
    EXPECT_TRUE(std::isnan(clock.time_of(5)));
    EXPECT_EQ(clock.rate(), 0.0);
    EXPECT_FALSE(clock.settled());
    clock.arrival(5, std::numeric_limits<double>::quiet_NaN());
    clock.arrival(5, std::numeric_limits<double>::infinity());
    EXPECT_TRUE(std::isnan(clock.time_of(5)));
}

TEST(SampleClock, TheFirstBufferSitsAtItsArrival) {
    // Rates that are no rate fall back to estimating.
    for (const double given : {nominal_rate, 0.0, -250.0, std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(given);
        SampleClock clock(given);
        clock.arrival(41, board_start);
        EXPECT_EQ(clock.time_of(41), board_start);
        EXPECT_LT(clock.time_of(40), board_start);
        EXPECT_GT(clock.rate(), 0.0);
        if (given == nominal_rate) EXPECT_EQ(clock.time_of(40), board_start - 1.0 / nominal_rate);
    }
}

TEST(SampleClock, NumbersFarApartStayExact) {
    // Counters unwrapped to 64 bits, far from the line's first number, and
    // extreme numbers: the distance is taken without overflow.
    SampleClock clock(nominal_rate);
    const std::int64_t base = std::int64_t{1} << 40;
    clock.arrival(base, board_start);
    EXPECT_EQ(clock.time_of(base - 250), board_start - 1.0);
    EXPECT_TRUE(std::isfinite(clock.time_of(std::numeric_limits<std::int64_t>::min())));
    EXPECT_TRUE(std::isfinite(clock.time_of(std::numeric_limits<std::int64_t>::max())));
}

TEST(SampleClock, RepeatedAndBackwardBuffersMoveNoTimeAlreadyHandedOut) {
    SampleClock clock(nominal_rate);
    double t = board_start;
    std::int64_t n = 2;
    for (; n <= 2000; n += 2, t += 0.008) clock.arrival(n, t + 0.001 * static_cast<double>(n % 7));
    const double before = clock.time_of(n - 2);
    // The same buffer again, much later, and an older one: delays, no new line.
    clock.arrival(n - 2, t + 0.5);
    clock.arrival(n - 40, t + 0.6);
    EXPECT_EQ(clock.time_of(n - 2), before);
    clock.arrival(n, t + 0.61);
    EXPECT_GT(clock.time_of(n - 1), before);
}

}  // namespace
