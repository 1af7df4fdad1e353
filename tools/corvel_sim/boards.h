// The boards corvel-sim simulates: each board's signals in the packets of
// its family, the packet counters, and which packets are lost on the way.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "packet_builder.h"

namespace corvel_sim {

using palvex_test::Bytes;
using Clock = std::chrono::steady_clock;

struct BoardSpec {
    std::string ssid;
    COMM_TYPE family = MES_4;
    // Every channel holds one value, as a board at rest or with its
    // channels disabled sends: only the packet numbers move.
    bool constant = false;
};

// What decides the packets: how many a second, which are lost, the seed.
struct StreamSpec {
    double packet_rate = 125;  // packets per second per board
    double loss = 0;           // probability of losing a packet
    std::uint64_t lose_every = 0;
    std::uint64_t seed = 1;
    std::uint64_t packets = 0;  // 0: unbounded
};

// One simulated board: its signals and its packet counter.
class Board {
public:
    Board(const BoardSpec& spec, double packet_rate, std::uint32_t seed, int index);

    const std::string& ssid() const { return spec_.ssid; }
    COMM_TYPE family() const { return spec_.family; }

    // The buffer of packet k (k from 0): samples 2k + 1 and 2k + 2.
    Bytes packet(std::uint64_t k);

private:
    int noise(int spread);
    std::int32_t exg_raw(int ch, double t);
    void motion(palvex_test::Sample& v, double t);
    std::int32_t accel_raw(int axis, double t);
    std::int32_t gyro_raw(int axis, double t);
    std::uint32_t resistance(int ch, double t);

    BoardSpec spec_;
    double rate_;
    std::mt19937 noise_;
    double phase_;
};

// The boards with their counters and the loss injection. The hub's thread
// makes the batches; the main thread reads the counters.
class Simulation {
public:
    Simulation(const std::vector<BoardSpec>& boards, const StreamSpec& stream);

    // Appends the chunk of board b's next packet, unless it is lost.
    void next_packet(std::size_t b, Bytes& out);
    // Every board made the packets asked for.
    bool finished() const;
    // Everything due at `now` for a stream that began at `start`, board by
    // board in packet order; `base` is what each board had made by then.
    Bytes due(Clock::time_point start, const std::vector<std::uint64_t>& base, Clock::time_point now);
    // What came due while no host was connected: made, as a board goes on
    // measuring whoever listens, and sent to nobody.
    void pass_by(Clock::time_point start, const std::vector<std::uint64_t>& base, Clock::time_point now);

    std::size_t size() const { return boards_.size(); }
    const Board& board(std::size_t b) const { return boards_[b]; }
    std::vector<std::uint64_t> made() const { return made_; }
    std::uint64_t made(std::size_t b) const { return made_[b]; }
    std::uint64_t lost(std::size_t b) const { return lost_[b]; }
    std::uint64_t unsent(std::size_t b) const { return unsent_[b]; }

private:
    // How many packets board b has made by `now`.
    std::uint64_t goal(std::size_t b, Clock::time_point start, const std::vector<std::uint64_t>& base,
                       Clock::time_point now) const;

    StreamSpec stream_;
    std::vector<Board> boards_;
    std::vector<std::uint64_t> made_;
    std::vector<std::uint64_t> lost_;
    std::vector<std::uint64_t> unsent_;  // made while no host was connected
    std::mt19937 loss_rng_;
};

}  // namespace corvel_sim
