// corvel-sim: a Corvel hub simulator for trying hosts without hardware.
//
// It runs the simulated hub of sim/ (FakeHub) as a program: it answers the
// greeting, streams packets of any number of simulated boards and prints
// every write frame the host sends back. Packets come from the simulation
// library's packet builder, so what the simulator sends is byte for byte
// what the decoding tests check.
#include <cmath>
#include <cstdio>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "capture.h"
#include "command_line.h"
#include "fake_hub.h"
#include "families.h"
#include "packet_builder.h"
#include "stop_signals.h"

using namespace palvex_test;
using namespace palvex_tools;
using Clock = std::chrono::steady_clock;

constexpr double two_pi = 6.283185307179586;

namespace {

const char* const usage_text = R"(Usage: corvel-sim [OPTIONS]

Simulates a Corvel hub: listens on [ADDRESS]:PORT, answers the greeting of
one host at a time and streams the packets of the simulated boards to it as
hub chunks, from the greeting on, whether or not the host reads yet (as a
hub does: a host joins a stream that is already flowing). Every write frame the host sends is printed on standard output,
decoded: trigger byte, board count, each board's SSID and instruction bytes.
Status lines and the closing summary go to standard error.

Options:
  --address ADDR       numeric IPv6 address to listen on (default ::1)
  --port N             TCP port (default 5005)
  --board SSID:FAMILY  add a board; SSID is 1 to 6 characters, FAMILY one of
                       WUA2, MES_2, IMP_3, MES_4, MES_5. Repeat for more
                       boards (default: one board A1:MES_4)
  --rate N             packets per second per board (default 125; two
                       samples per packet, so 250 rows per second)
  --loss P             drop each packet with probability P (0 to 1)
  --drop-every N       drop every N-th packet of each board
  --seed N             seed of the loss, noise and jitter generators (default 1)
  --jitter             cut every write of the stream at one to three random
                       places, with a millisecond's pause after each piece, as
                       a busy network does: the host's receives end anywhere
  --duration S         stop after S seconds
  --packets N          stop once every board has produced N packets
                       (dropped ones included)
  --capture FILE       do not listen: write the boards' first N packets
                       (--packets, required) to FILE as a capture (hub chunks
                       as on the wire, boards interleaved) and exit
  --help               show this text

Without --duration or --packets it runs until SIGINT or SIGTERM. Signals:
ExG channel i is a sine of (40 + 15 i) uV at (1.5 + 2.5 i) Hz with a little
noise, the accelerometer reads 1 g on z, the gyroscope turns slowly, PPG
pulses at 1.2 Hz, resistances drift around 5 to 8 kOhm, the battery falls
slowly and packet numbers rise from 1, two per packet.

Exit status: 0 done, 1 the hub could not be set up, 2 bad command line.
)";

struct Options {
    std::string address = "::1";
    std::uint16_t port = FakeHub::default_port;
    std::vector<std::pair<std::string, COMM_TYPE>> boards;
    double rate = 125;
    double loss = 0;
    std::uint64_t drop_every = 0;
    std::uint64_t seed = 1;
    bool jitter = false;
    double duration = 0;  // 0: unbounded
    std::uint64_t packets = 0;  // 0: unbounded
    std::string capture;
};

Options parse(int argc, char** argv, bool& help) {
    Options o;
    for (Arguments args(argc, argv); args.next();) {
        const std::string& a = args.name();
        auto value = [&] { return args.value(); };
        if (a == "--help" || a == "-h") {
            help = true;
            return o;
        } else if (a == "--address") {
            o.address = value();
        } else if (a == "--port") {
            o.port = static_cast<std::uint16_t>(parse_count(a, value(), 1, 65535));
        } else if (a == "--board") {
            const std::string v = value();
            const auto colon = v.find(':');
            if (colon == std::string::npos) throw UsageError("--board wants SSID:FAMILY, not '" + v + "'");
            const std::string ssid = v.substr(0, colon);
            const Family family = family_from_name(v.substr(colon + 1));
            if (ssid.empty() || ssid.size() > 6 || ssid.find('\0') != std::string::npos)
                throw UsageError("--board: an SSID has 1 to 6 characters, not '" + ssid + "'");
            if (family == Family::unknown)
                throw UsageError("--board: unknown family '" + v.substr(colon + 1) +
                                 "' (WUA2, MES_2, IMP_3, MES_4 or MES_5)");
            for (const auto& b : o.boards)
                if (b.first == ssid) throw UsageError("--board: SSID '" + ssid + "' given twice");
            o.boards.emplace_back(ssid, static_cast<COMM_TYPE>(family));
        } else if (a == "--rate") {
            o.rate = parse_double(a, value(), 1, 10000);
        } else if (a == "--loss") {
            o.loss = parse_double(a, value(), 0, 1);
        } else if (a == "--drop-every") {
            o.drop_every = parse_count(a, value(), 2, std::numeric_limits<std::uint32_t>::max());
        } else if (a == "--jitter") {
            o.jitter = true;
        } else if (a == "--seed") {
            o.seed = parse_count(a, value(), 0, std::numeric_limits<std::uint32_t>::max());
        } else if (a == "--duration") {
            o.duration = parse_double(a, value(), 0.001, 86400);
        } else if (a == "--packets") {
            o.packets = parse_count(a, value(), 1, 1u << 30);
        } else if (a == "--capture") {
            o.capture = value();
        } else {
            throw UsageError("unknown option '" + a + "'");
        }
    }
    if (o.boards.empty()) o.boards.emplace_back("A1", MES_4);
    if (!o.capture.empty() && o.packets == 0) throw UsageError("--capture needs --packets");
    return o;
}

// One simulated board: its signals and its packet counter.
class Board {
public:
    Board(std::string ssid, COMM_TYPE family, double rate, std::uint32_t seed, int index)
        : ssid_(std::move(ssid)), family_(family), rate_(rate), noise_(seed), phase_(0.7 * index) {}

    const std::string& ssid() const { return ssid_; }
    COMM_TYPE family() const { return family_; }

    // The buffer of packet k (k from 0): samples 2k + 1 and 2k + 2. Each
    // family's signals are drawn in the order its packet lays them out, so
    // a seed gives the same noise whatever the other boards are.
    Bytes packet(std::uint64_t k) {
        const auto first = static_cast<std::uint32_t>(2 * k + 1);
        const double t[2] = {static_cast<double>(2 * k) / (2 * rate_), static_cast<double>(2 * k + 1) / (2 * rate_)};
        std::array<Sample, 2> samples;
        switch (family_) {
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
        return packet_from(family_, first, samples);
    }

private:
    int noise(int spread) { return std::uniform_int_distribution<int>(-spread, spread)(noise_); }

    // ExG values are scaled by 0.045 on decoding: raw = microvolts / 0.045.
    std::int32_t exg_raw(int ch, double t) {
        const double uv = (40 + 15 * ch) * std::sin(two_pi * (1.5 + 2.5 * ch) * t + phase_);
        return static_cast<std::int32_t>(std::lround(uv / 0.045)) + noise(20);
    }
    // The accelerometer and the gyroscope, axis by axis.
    void motion(Sample& v, double t) {
        for (int i = 0; i < 3; ++i) {
            v.accel[i] = accel_raw(i, t);
            v.gyro[i] = gyro_raw(i, t);
        }
    }
    // 16384 raw is 1 g (scale 6.1035e-05).
    std::int32_t accel_raw(int axis, double t) {
        if (axis == 2) return 16384 + noise(40);
        return static_cast<std::int32_t>(std::lround(400 * std::sin(two_pi * 0.25 * t + axis))) + noise(40);
    }
    // Degrees per second / 0.01526.
    std::int32_t gyro_raw(int axis, double t) {
        return static_cast<std::int32_t>(std::lround((5 + 3 * axis) / 0.01526 * std::sin(two_pi * 0.2 * t + axis))) +
               noise(10);
    }
    std::uint32_t resistance(int ch, double t) {
        return static_cast<std::uint32_t>(5000 + 300 * ch + std::lround(200 * std::sin(two_pi * 0.1 * t + ch)) +
                                          noise(3));
    }
    // One percent every five seconds, from 98 %.
    static std::uint8_t battery_percent(double t) {
        return static_cast<std::uint8_t>(std::max(0.0, 98.0 - std::floor(t / 5.0)));
    }

    std::string ssid_;
    COMM_TYPE family_;
    double rate_;
    std::mt19937 noise_;
    double phase_;
};

// The boards with their counters and the loss injection. The hub's thread
// makes the batches; the main thread reads the counters.
class Simulation {
public:
    explicit Simulation(const Options& o) : opt_(o), loss_rng_(static_cast<std::uint32_t>(o.seed)) {
        int index = 0;
        for (const auto& b : o.boards) {
            boards_.emplace_back(b.first, b.second, o.rate, static_cast<std::uint32_t>(o.seed * 7919 + index), index);
            ++index;
        }
        made_.assign(boards_.size(), 0);
        dropped_.assign(boards_.size(), 0);
    }

    // Appends the chunks of board b's next packet (unless it is dropped).
    void next_packet(std::size_t b, Bytes& out) {
        const std::uint64_t k = made_[b]++;
        bool drop = opt_.drop_every > 0 && (k + 1) % opt_.drop_every == 0;
        if (opt_.loss > 0 && std::bernoulli_distribution(opt_.loss)(loss_rng_)) drop = true;
        Bytes payload = boards_[b].packet(k);  // made even when dropped: the noise sequence stays the same
        if (drop) {
            ++dropped_[b];
            return;
        }
        const Bytes chunk = hub_chunk(boards_[b].ssid(), payload);
        out.insert(out.end(), chunk.begin(), chunk.end());
    }

    bool finished() const {
        if (opt_.packets == 0) return false;
        for (std::uint64_t m : made_)
            if (m < opt_.packets) return false;
        return true;
    }

    // Everything due at `now` for a stream that began at `start`, board by
    // board in packet order; `base` is what each board had made by then.
    Bytes due(Clock::time_point start, const std::vector<std::uint64_t>& base, Clock::time_point now) {
        const double elapsed = std::chrono::duration<double>(now - start).count();
        const auto target = static_cast<std::uint64_t>(elapsed * opt_.rate) + 1;
        Bytes out;
        bool more = true;
        while (more) {  // interleave: one packet per board per round
            more = false;
            for (std::size_t b = 0; b < boards_.size(); ++b) {
                std::uint64_t goal = base[b] + target;
                if (opt_.packets > 0) goal = std::min(goal, opt_.packets);
                if (made_[b] < goal) {
                    next_packet(b, out);
                    more = more || made_[b] < goal;
                }
            }
        }
        return out;
    }

    std::size_t size() const { return boards_.size(); }
    const Board& board(std::size_t b) const { return boards_[b]; }
    std::vector<std::uint64_t> made() const { return made_; }
    std::uint64_t made(std::size_t b) const { return made_[b]; }
    std::uint64_t dropped(std::size_t b) const { return dropped_[b]; }

private:
    const Options& opt_;
    std::vector<Board> boards_;
    std::vector<std::uint64_t> made_;
    std::vector<std::uint64_t> dropped_;
    std::mt19937 loss_rng_;
};

std::string hex(const Bytes& b) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : " %02x", b[i]);
        s += buf;
    }
    return s;
}

void print_frame(std::size_t number, const WriteFrame& f) {
    std::printf("write frame %zu (%zu bytes): trigger %u, %u board(s)", number, f.raw.size(), f.trigger, f.count);
    for (const WriteFrame::Entry& e : f.entries)
        std::printf("; %s: %s", e.ssid.empty() ? "(empty SSID)" : e.ssid.c_str(), hex(e.instruction).c_str());
    std::printf("\n");
    std::fflush(stdout);
}

void print_summary(const Simulation& sim, std::size_t frames) {
    for (std::size_t b = 0; b < sim.size(); ++b)
        std::fprintf(stderr, "corvel-sim: board %s (%s): %llu packets made, %llu dropped\n", sim.board(b).ssid().c_str(),
                     family_name(family_of(sim.board(b).family())), static_cast<unsigned long long>(sim.made(b)),
                     static_cast<unsigned long long>(sim.dropped(b)));
    std::fprintf(stderr, "corvel-sim: %zu write frame(s) received\n", frames);
}

int write_capture(const Options& o) {
    Simulation sim(o);
    CaptureWriter out(o.capture);
    for (std::uint64_t k = 0; k < o.packets; ++k)
        for (std::size_t b = 0; b < sim.size(); ++b) {
            Bytes chunk;
            sim.next_packet(b, chunk);
            out.write(chunk);
        }
    out.close();
    print_summary(sim, 0);
    return 0;
}

int serve(const Options& o) {
    StopSignals signals;  // before the hub's thread exists, so it inherits the mask
    Simulation sim(o);
    std::mutex sim_mutex;

    FakeHub hub(o.address, o.port);
    // The hub ends by itself only as a safety net well after our own bound.
    hub.set_lifetime_limit(o.duration > 0 ? std::chrono::milliseconds(static_cast<long long>(o.duration * 1000) + 10000)
                                          : std::chrono::milliseconds(0));
    if (o.jitter) hub.set_stream_jitter(o.seed);
    // Like a hub, stream from the greeting on, whether or not the host reads
    // yet: a stream always waits in the queue and starts the moment a
    // greeting is answered.
    const auto queue_stream = [&] {
        auto base = std::make_shared<std::vector<std::uint64_t>>();
        auto stream_start = std::make_shared<Clock::time_point>();
        hub.stream(
            [&, base, stream_start](std::uint64_t index) {
                if (index == 0) {
                    std::lock_guard<std::mutex> lock(sim_mutex);
                    *stream_start = Clock::now();
                    *base = sim.made();
                } else {
                    // Pace the stream in 10 ms steps: short enough that the
                    // hub's thread stays responsive, and no busy loop while
                    // nothing is due.
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                std::lock_guard<std::mutex> lock(sim_mutex);
                return sim.due(*stream_start, *base, Clock::now());
            },
            std::numeric_limits<std::uint64_t>::max());
    };
    queue_stream();
    try {
        hub.start();
    } catch (const std::exception& e) {
        throw ToolError("cannot listen on [" + o.address + "]:" + std::to_string(o.port) + ": " + e.what());
    }
    std::string list;
    for (std::size_t b = 0; b < sim.size(); ++b)
        list += std::string(b ? ", " : "") + sim.board(b).ssid() + " " + family_name(family_of(sim.board(b).family()));
    std::fprintf(stderr, "corvel-sim: listening on [%s]:%u, %zu board(s): %s, %g packets/s each\n", o.address.c_str(),
                 hub.port(), sim.size(), list.c_str(), o.rate);

    const auto started = Clock::now();
    const auto deadline = o.duration > 0 ? started + std::chrono::milliseconds(static_cast<long long>(o.duration * 1000))
                                         : Clock::time_point::max();
    std::size_t sessions = 0;
    std::size_t frames_printed = 0;
    bool finished = false;
    for (;;) {
        if (const int s = signals.wait(std::chrono::milliseconds(10))) {
            std::fprintf(stderr, "corvel-sim: %s, stopping\n", s == SIGINT ? "SIGINT" : "SIGTERM");
            break;
        }
        if (Clock::now() >= deadline) break;
        if (!hub.running()) {
            std::fprintf(stderr, "corvel-sim: the hub stopped by itself\n");
            break;
        }
        std::size_t now_sessions = 0;
        for (const FakeHub::Connection& c : hub.connections()) now_sessions += c.session ? 1 : 0;
        if (now_sessions > sessions) {
            sessions = now_sessions;
            std::fprintf(stderr, "corvel-sim: host connected and greeted (session %zu)\n", sessions);
        }
        // A host that dropped its session took the stream in progress with it.
        if (hub.wait_sent(std::chrono::milliseconds(0))) queue_stream();
        const std::vector<WriteFrame> frames = hub.frames();
        for (; frames_printed < frames.size(); ++frames_printed) print_frame(frames_printed + 1, frames[frames_printed]);
        {
            std::lock_guard<std::mutex> lock(sim_mutex);
            finished = sim.finished();
        }
        if (finished) {
            hub.stop_stream();
            hub.wait_sent(std::chrono::seconds(5));
            break;
        }
    }
    // Frames that arrived while stopping still get printed.
    if (finished) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::vector<WriteFrame> frames = hub.frames();
    for (; frames_printed < frames.size(); ++frames_printed) print_frame(frames_printed + 1, frames[frames_printed]);
    hub.stop();
    std::lock_guard<std::mutex> lock(sim_mutex);
    print_summary(sim, frames_printed);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool("corvel-sim", [&] {
        bool help = false;
        const Options o = parse(argc, argv, help);
        if (help) {
            std::fputs(usage_text, stdout);
            return 0;
        }
        return o.capture.empty() ? serve(o) : write_capture(o);
    });
}
