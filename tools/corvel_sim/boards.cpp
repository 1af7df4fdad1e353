#include "boards.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace corvel_sim {

using palvex_test::Sample;

namespace {

constexpr double two_pi = 6.283185307179586;

// One percent every five seconds, from 98 %.
std::uint8_t battery_percent(double t) { return static_cast<std::uint8_t>(std::max(0.0, 98.0 - std::floor(t / 5.0))); }

}  // namespace

Board::Board(const BoardSpec& spec, double packet_rate, std::uint32_t seed, int index)
    : spec_(spec), rate_(packet_rate), noise_(seed), phase_(0.7 * index) {}

// Each family's signals are drawn in the order its packet lays them out, so
// a seed gives the same noise whatever the other boards are. A constant
// board is every board at its time 0, without noise.
Bytes Board::packet(std::uint64_t k) {
    const auto first = static_cast<std::uint32_t>(2 * k + 1);
    double t[2] = {static_cast<double>(2 * k) / (2 * rate_), static_cast<double>(2 * k + 1) / (2 * rate_)};
    if (spec_.constant) t[0] = t[1] = 0;
    std::array<Sample, 2> samples;
    switch (spec_.family) {
        case WUA2:
            for (int s = 0; s < 2; ++s) {
                Sample& v = samples[s];
                for (int i = 0; i < 8; ++i) v.exg[i] = exg_raw(i, t[s]);
                for (int i = 0; i < 10; ++i) v.resistance[i] = static_cast<std::int32_t>(resistance(i, t[s]));
                // Millivolts; the decoder maps 2800..4250 mV to 0..100 %.
                v.battery = static_cast<std::uint32_t>(std::max(2800.0, 4200.0 - 2.0 * t[s]));
                motion(v, t[s]);
            }
            break;
        case IMP_3:
            for (int s = 0; s < 2; ++s)
                for (int i = 0; i < 10; ++i) samples[s].resistance[i] = static_cast<std::int32_t>(resistance(i, t[s]));
            samples[0].battery = battery_percent(t[0]);
            break;
        case MES_2:
        case MES_4:
        case MES_5: {
            for (int s = 0; s < 2; ++s)
                for (int i = 0; i < 8; ++i) samples[s].exg[i] = exg_raw(i, t[s]);
            Sample& once = samples[0];  // what a MES packet carries once
            once.battery = battery_percent(t[0]);
            motion(once, t[0]);
            const double pulse = std::sin(two_pi * 1.2 * t[0] + phase_);
            once.ppg = {static_cast<std::uint8_t>(128 + 80 * pulse), static_cast<std::uint8_t>(110 + 60 * pulse)};
            for (int i = 0; i < 3; ++i)
                once.ppg_raw[i] = static_cast<std::int16_t>(std::lround((8000 - 2000 * i) * pulse));
            break;
        }
    }
    return palvex_test::packet_from(spec_.family, first, samples);
}

int Board::noise(int spread) {
    if (spec_.constant) return 0;
    return std::uniform_int_distribution<int>(-spread, spread)(noise_);
}

// ExG values are scaled by 0.045 on decoding: raw = microvolts / 0.045.
std::int32_t Board::exg_raw(int ch, double t) {
    const double uv = (40 + 15 * ch) * std::sin(two_pi * (1.5 + 2.5 * ch) * t + phase_);
    return static_cast<std::int32_t>(std::lround(uv / 0.045)) + noise(20);
}

// The accelerometer and the gyroscope, axis by axis.
void Board::motion(Sample& v, double t) {
    for (int i = 0; i < 3; ++i) {
        v.accel[i] = accel_raw(i, t);
        v.gyro[i] = gyro_raw(i, t);
    }
}

// 16384 raw is 1 g (scale 6.1035e-05).
std::int32_t Board::accel_raw(int axis, double t) {
    if (axis == 2) return 16384 + noise(40);
    return static_cast<std::int32_t>(std::lround(400 * std::sin(two_pi * 0.25 * t + axis))) + noise(40);
}

// Degrees per second / 0.01526.
std::int32_t Board::gyro_raw(int axis, double t) {
    return static_cast<std::int32_t>(std::lround((5 + 3 * axis) / 0.01526 * std::sin(two_pi * 0.2 * t + axis))) +
           noise(10);
}

std::uint32_t Board::resistance(int ch, double t) {
    return static_cast<std::uint32_t>(5000 + 300 * ch + std::lround(200 * std::sin(two_pi * 0.1 * t + ch)) + noise(3));
}

Simulation::Simulation(const std::vector<BoardSpec>& boards, const StreamSpec& stream)
    : stream_(stream), loss_rng_(static_cast<std::uint32_t>(stream.seed)) {
    int index = 0;
    for (const BoardSpec& b : boards) {
        boards_.emplace_back(b, stream.packet_rate, static_cast<std::uint32_t>(stream.seed * 7919 + index), index);
        ++index;
    }
    made_.assign(boards_.size(), 0);
    lost_.assign(boards_.size(), 0);
    unsent_.assign(boards_.size(), 0);
}

void Simulation::next_packet(std::size_t b, Bytes& out) {
    const std::uint64_t k = made_[b]++;
    bool lose = stream_.lose_every > 0 && (k + 1) % stream_.lose_every == 0;
    if (stream_.loss > 0 && std::bernoulli_distribution(stream_.loss)(loss_rng_)) lose = true;
    Bytes payload = boards_[b].packet(k);  // made even when lost: the noise sequence stays the same
    if (lose) {
        ++lost_[b];
        return;
    }
    const Bytes chunk = palvex_test::hub_chunk(boards_[b].ssid(), payload);
    out.insert(out.end(), chunk.begin(), chunk.end());
}

bool Simulation::finished() const {
    if (stream_.packets == 0) return false;
    for (std::uint64_t m : made_)
        if (m < stream_.packets) return false;
    return true;
}

std::uint64_t Simulation::goal(std::size_t b, Clock::time_point start, const std::vector<std::uint64_t>& base,
                               Clock::time_point now) const {
    const double elapsed = std::chrono::duration<double>(now - start).count();
    const std::uint64_t goal = base[b] + static_cast<std::uint64_t>(elapsed * stream_.packet_rate) + 1;
    return stream_.packets > 0 ? std::min(goal, stream_.packets) : goal;
}

Bytes Simulation::due(Clock::time_point start, const std::vector<std::uint64_t>& base, Clock::time_point now) {
    Bytes out;
    bool more = true;
    while (more) {  // interleave: one packet per board per round
        more = false;
        for (std::size_t b = 0; b < boards_.size(); ++b) {
            const std::uint64_t g = goal(b, start, base, now);
            if (made_[b] < g) {
                next_packet(b, out);
                more = more || made_[b] < g;
            }
        }
    }
    return out;
}

void Simulation::pass_by(Clock::time_point start, const std::vector<std::uint64_t>& base, Clock::time_point now) {
    Bytes nowhere;
    for (std::size_t b = 0; b < boards_.size(); ++b)
        for (const std::uint64_t g = goal(b, start, base, now); made_[b] < g;) {
            nowhere.clear();
            next_packet(b, nowhere);  // the signals and the losses go on as if it were sent
            if (!nowhere.empty()) ++unsent_[b];
        }
}

}  // namespace corvel_sim
