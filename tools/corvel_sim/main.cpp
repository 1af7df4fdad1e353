// corvel-sim: a Corvel hub simulator for trying hosts without hardware.
//
// It runs the simulated hub of sim/ (FakeHub) as a program: it answers the
// greeting, streams packets of any number of simulated boards (boards.h)
// and prints every write frame the host sends back. Packets come from the
// simulation library's packet builder, so what the simulator sends is byte
// for byte what the decoding tests check.
#include <cstdio>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "boards.h"
#include "capture.h"
#include "command_line.h"
#include "drops.h"
#include "fake_hub.h"
#include "families.h"
#include "stop_signals.h"

using namespace palvex_test;
using namespace palvex_tools;
using namespace corvel_sim;

namespace {

const char* const usage_text = R"(Usage: corvel-sim [OPTIONS]

Simulates a Corvel hub: listens on [ADDRESS]:PORT, answers the greeting of
one host at a time and streams the packets of the simulated boards to it as
hub chunks, from the greeting on, whether or not the host reads yet (as a
hub does: a host joins a stream that is already flowing). Every write frame
the host sends is printed on standard output, decoded: trigger byte, board
count, each board's SSID and instruction bytes. Status lines and the closing
summary go to standard error.

Options (a value may also be joined to its option: --port=5006):
  --address ADDR       numeric IPv6 address to listen on (default ::1)
  --port N             TCP port (default 5005)
  --board SSID:FAMILY[:constant]
                       add a board; SSID is 1 to 6 characters, FAMILY one of
                       WUA2, MES_2, IMP_3, MES_4, MES_5; ":constant" holds
                       every channel at one value (a board at rest, or with
                       its channels off): only packet numbers move. Repeat
                       for more boards (default: one board A1:MES_4)
  --packet-rate N      packets per second per board, 1 to 10000 (default 125)
  --sample-rate N      samples per second per board instead, 2 to 20000: two
                       samples a packet, so --sample-rate 250 is
                       --packet-rate 125. palvex-decode and palvex-plot take
                       samples per second as --sample-rate too
  --loss P             lose each packet with probability P (0 to 1): it is
                       never sent
  --lose-every N       lose every N-th packet of each board
  --seed N             seed of the loss, noise and jitter generators (default 1)
  --jitter             cut every write of the stream at one to three random
                       places, with a millisecond's pause after each piece, as
                       a busy network does: the host's receives end anywhere
  --drop-every S[:OUTAGE]
                       drop the host's connection S seconds after each
                       greeting, and then refuse new connections for OUTAGE
                       seconds (default 0; the listener is closed, as a hub
                       that reboots has none), as a hub whose link fails
                       does. The boards count on meanwhile: their packet
                       numbers keep advancing with time, and what they make
                       while no host is connected is sent to nobody
  --duration S         stop after S seconds
  --packets N          stop once every board has made N packets (lost ones
                       included)
  --capture FILE       do not listen: write the boards' first N packets
                       (--packets, required) to FILE as a capture (hub chunks
                       as on the wire, boards interleaved) and exit
  --version            print the version and exit
  --help               show this text

Without --duration or --packets it runs until SIGINT or SIGTERM. The summary
counts each board's packets made and lost (left out of the stream; a host
sees them as lost packets too) and, when there were any, the packets made
while no host was connected (never sent, a host sees them as lost too) and
the connections dropped. Signals:
ExG channel i is a sine of (40 + 15 i) uV at (1.5 + 2.5 i) Hz with a little
noise, the accelerometer reads 1 g on z, the gyroscope turns slowly, PPG
pulses at 1.2 Hz, resistances drift around 5 to 8 kOhm, the battery falls
slowly and packet numbers rise from 1, two per packet.

Exit status: 0 done, 1 the hub could not be set up, 2 bad command line.
)";

struct Options {
    std::string address = "::1";
    std::uint16_t port = FakeHub::default_port;
    std::vector<BoardSpec> boards;
    StreamSpec stream;
    bool jitter = false;
    DropSpec drops;
    double duration = 0;  // 0: unbounded
    std::string capture;
};

BoardSpec board_spec(const std::string& v) {
    const auto colon = v.find(':');
    if (colon == std::string::npos) throw UsageError("--board wants SSID:FAMILY, not '" + v + "'");
    BoardSpec b;
    b.ssid = v.substr(0, colon);
    std::string family = v.substr(colon + 1);
    const auto second = family.find(':');
    if (second != std::string::npos) {
        if (family.substr(second + 1) != "constant")
            throw UsageError("--board: after SSID:FAMILY only ':constant', not '" + v + "'");
        b.constant = true;
        family.erase(second);
    }
    const Family f = family_from_name(family);
    if (b.ssid.empty() || b.ssid.size() > 6 || b.ssid.find('\0') != std::string::npos)
        throw UsageError("--board: an SSID has 1 to 6 characters, not '" + b.ssid + "'");
    if (f == Family::unknown)
        throw UsageError("--board: unknown family '" + family + "' (WUA2, MES_2, IMP_3, MES_4 or MES_5)");
    b.family = static_cast<COMM_TYPE>(f);
    return b;
}

DropSpec drop_spec(const std::string& option, const std::string& v) {
    const auto colon = v.find(':');
    DropSpec d;
    d.every = parse_double(option, v.substr(0, colon), 0.01, 86400);
    if (colon != std::string::npos) d.outage = parse_double(option + " (its OUTAGE)", v.substr(colon + 1), 0, 86400);
    return d;
}

enum class Action { run, help, version };

Options parse(int argc, char** argv, Action& action) {
    Options o;
    for (Arguments args(argc, argv); args.next();) {
        const std::string& a = args.name();
        auto value = [&] { return args.value(); };
        if (a == "--help" || a == "-h") {
            action = Action::help;
            return o;
        } else if (a == "--version") {
            action = Action::version;
            return o;
        } else if (a == "--address") {
            o.address = value();
        } else if (a == "--port") {
            o.port = static_cast<std::uint16_t>(parse_count(a, value(), 1, 65535));
        } else if (a == "--board") {
            const BoardSpec b = board_spec(value());
            for (const BoardSpec& other : o.boards)
                if (other.ssid == b.ssid) throw UsageError("--board: SSID '" + b.ssid + "' given twice");
            o.boards.push_back(b);
        } else if (a == "--packet-rate") {
            o.stream.packet_rate = parse_double(a, value(), 1, 10000);
        } else if (a == "--sample-rate") {
            o.stream.packet_rate = parse_double(a, value(), 2, 20000) / 2;
        } else if (a == "--rate") {
            throw UsageError("--rate is ambiguous: say --packet-rate (packets per second) or --sample-rate "
                             "(samples per second, two a packet)");
        } else if (a == "--loss") {
            o.stream.loss = parse_double(a, value(), 0, 1);
        } else if (a == "--lose-every") {
            o.stream.lose_every = parse_count(a, value(), 2, std::numeric_limits<std::uint32_t>::max());
        } else if (a == "--jitter") {
            o.jitter = true;
        } else if (a == "--drop-every") {
            o.drops = drop_spec(a, value());
        } else if (a == "--seed") {
            o.stream.seed = parse_count(a, value(), 0, std::numeric_limits<std::uint32_t>::max());
        } else if (a == "--duration") {
            o.duration = parse_double(a, value(), 0.001, 86400);
        } else if (a == "--packets") {
            o.stream.packets = parse_count(a, value(), 1, 1u << 30);
        } else if (a == "--capture") {
            o.capture = value();
        } else {
            throw UsageError("unknown option '" + a + "'");
        }
    }
    if (o.boards.empty()) o.boards.push_back({"A1", MES_4, false});
    if (!o.capture.empty() && o.stream.packets == 0) throw UsageError("--capture needs --packets");
    if (!o.capture.empty() && o.drops.every > 0) throw UsageError("--drop-every is for serving a host, not --capture");
    return o;
}

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

void print_summary(const Simulation& sim, std::size_t frames, std::size_t drops) {
    for (std::size_t b = 0; b < sim.size(); ++b) {
        std::fprintf(stderr, "corvel-sim: board %s (%s): %llu packets made, %llu lost", sim.board(b).ssid().c_str(),
                     family_name(family_of(sim.board(b).family())), static_cast<unsigned long long>(sim.made(b)),
                     static_cast<unsigned long long>(sim.lost(b)));
        if (sim.unsent(b))
            std::fprintf(stderr, ", %llu made while no host was connected",
                         static_cast<unsigned long long>(sim.unsent(b)));
        std::fprintf(stderr, "\n");
    }
    if (drops) std::fprintf(stderr, "corvel-sim: dropped the connection %zu time(s)\n", drops);
    std::fprintf(stderr, "corvel-sim: %zu write frame(s) received\n", frames);
}

int write_capture(const Options& o) {
    Simulation sim(o.boards, o.stream);
    CaptureWriter out(o.capture);
    for (std::uint64_t k = 0; k < o.stream.packets; ++k)
        for (std::size_t b = 0; b < sim.size(); ++b) {
            Bytes chunk;
            sim.next_packet(b, chunk);
            out.write(chunk);
        }
    out.close();
    print_summary(sim, 0, 0);
    return 0;
}

int serve(const Options& o) {
    StopSignals signals;  // before the hub's thread exists, so it inherits the mask
    Simulation sim(o.boards, o.stream);
    std::mutex sim_mutex;

    FakeHub hub(o.address, o.port);
    // The hub ends by itself only as a safety net well after our own bound.
    hub.set_lifetime_limit(o.duration > 0 ? std::chrono::milliseconds(static_cast<long long>(o.duration * 1000) + 10000)
                                          : std::chrono::milliseconds(0));
    if (o.jitter) hub.set_stream_jitter(o.stream.seed);
    // Like a hub, stream from the greeting on, whether or not the host reads
    // yet: a stream always waits in the queue and starts the moment a
    // greeting is answered. It outlives its session: the next session gets
    // the packets due from its greeting on, and those that came due in
    // between were made for nobody.
    const auto queue_stream = [&] {
        auto base = std::make_shared<std::vector<std::uint64_t>>();
        auto stream_start = std::make_shared<Clock::time_point>();
        auto session = std::make_shared<std::size_t>();
        hub.stream(
            [&, base, stream_start, session](std::uint64_t index) {
                // The hub's own thread calls this, only while a session is open.
                const std::size_t now_session = hub.sessions_count();
                if (index == 0) {
                    std::lock_guard<std::mutex> lock(sim_mutex);
                    *stream_start = Clock::now();
                    *base = sim.made();
                    *session = now_session;
                } else {
                    // Pace the stream in 10 ms steps: short enough that the
                    // hub's thread stays responsive, and no busy loop while
                    // nothing is due.
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                std::lock_guard<std::mutex> lock(sim_mutex);
                if (*session != now_session) {
                    *session = now_session;
                    sim.pass_by(*stream_start, *base, Clock::now());
                }
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
        list += std::string(b ? ", " : "") + o.boards[b].ssid + " " + family_name(family_of(o.boards[b].family)) +
                (o.boards[b].constant ? " (constant)" : "");
    std::fprintf(stderr, "corvel-sim: listening on [%s]:%u, %zu board(s): %s, %g packets/s (%g samples/s) each\n",
                 o.address.c_str(), hub.port(), sim.size(), list.c_str(), o.stream.packet_rate,
                 2 * o.stream.packet_rate);

    const auto started = Clock::now();
    const auto deadline = o.duration > 0 ? started + std::chrono::milliseconds(static_cast<long long>(o.duration * 1000))
                                         : Clock::time_point::max();
    Drops drops(hub, o.drops);
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
        const std::size_t now_sessions = hub.sessions_count();
        const bool greeted = now_sessions > sessions;
        if (greeted) {
            sessions = now_sessions;
            std::fprintf(stderr, "corvel-sim: host connected and greeted (session %zu)\n", sessions);
        }
        drops.turn(Clock::now(), greeted);
        // The stream ends only when asked to (or when making a batch failed).
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
    print_summary(sim, frames_printed, drops.count());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return run_tool("corvel-sim", [&] {
        Action action = Action::run;
        const Options o = parse(argc, argv, action);
        if (action == Action::help) {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (action == Action::version) {
            std::printf("%s\n", version_line("corvel-sim").c_str());
            return 0;
        }
        return o.capture.empty() ? serve(o) : write_capture(o);
    });
}
