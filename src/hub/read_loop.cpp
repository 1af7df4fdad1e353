#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "hub/chunk_dispatch.h"
#include "chunks/chunk_stream.h"
#include "hub/hub.h"
#include "hub/hub_state.h"
#include "ground/logging.h"

namespace palvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Pauses between reconnection attempts grow from the first to the last;
// every pause is slept in ticks, so corvel_release is seen within one.
constexpr std::chrono::milliseconds first_pause = 100ms;
constexpr std::chrono::milliseconds longest_pause = 3000ms;
constexpr std::chrono::milliseconds tick = 50ms;

// Before every receive and every chunk: true when the loop must end.
bool terminate_requested() {
    const bool terminate = corvel.terminate_read_thread.load();
    corvel.main_thread_running.store(!terminate);
    if (terminate) log_at(spdlog::level::trace, "Terminating signal found, ending reading ...");
    return terminate;
}

// The claim on the loop is given back however the loop ends, so a host can
// start it again after corvel_release and a new open.
struct Claim {
    ~Claim() { corvel.main_thread_running.store(false); }
};

// A new session starts each board's loss accounting afresh: the packets a
// board sent while the host had stopped are no loss of this session.
void restart_loss_accounting() {
    std::lock_guard<std::mutex> lock(corvel.board_check_mutex);
    for (auto& [ssid, board] : corvel.global_packets)
        if (board.decoder) board.decoder->restart_accounting();
}

class ReadLoop {
public:
    explicit ReadLoop(data_callback_fn callback) : dispatcher_(callback) {}

    void run() {
        connection_ = corvel.link.current();
        if (connection_ == nullptr && !reconnect()) return;
        bool first_receive = true;
        while (!terminate_requested()) {
            const int n = connection_->recv(stream_.receive_area(), static_cast<int>(stream_.receive_room()));
            const bool lost = n == 0 || (n < 0 && !SocketClientTCP6::last_failure_was_timeout());
            if (first_receive && !lost) {
                // The hub streams whether or not anyone reads, so what this
                // receive holds was cut anywhere and may be stale: thrown
                // away unread, and the stream's step searched for after it.
                first_receive = false;
                stream_.clear();
                stream_.lose_step();
                continue;
            }
            if (lost) {
                if (!reconnect()) return;
                first_receive = true;
                continue;
            }
            if (n < 0) continue;  // the receive time-out: an idle hub, not a lost one
            stream_.received(static_cast<std::size_t>(n));
            ChunkStream::Chunk chunk;
            while (stream_.next(chunk)) {
                if (terminate_requested()) return;
                dispatcher_.dispatch(chunk);
            }
        }
    }

private:
    // Drops the lost connection and connects again to the same host, with a
    // growing pause between attempts, until one succeeds (true) or the host
    // releases the hub (false).
    bool reconnect() {
        log_warn("Corvel connection lost; reconnecting ...");
        corvel.link.failed(connection_);
        connection_.reset();
        const auto lost_at = Clock::now();
        const std::string host = corvel.link.host();
        const SocketClientTCP6::QuietAttempts quiet;
        auto pause = first_pause;
        while (!terminate_requested()) {
            if (auto connection = HubLink::greet(host, true)) {
                corvel.link.reconnected(connection);
                connection_ = std::move(connection);
                const std::chrono::duration<double> outage = Clock::now() - lost_at;
                log_info("Corvel connection restored after {:.1f} s.", outage.count());
                return true;
            }
            if (!sleep_unless_released(pause)) return false;
            pause = std::min(pause * 2, longest_pause);
        }
        return false;
    }

    static bool sleep_unless_released(std::chrono::milliseconds pause) {
        const auto until = Clock::now() + pause;
        for (auto now = Clock::now(); now < until; now = Clock::now()) {
            if (terminate_requested()) return false;
            std::this_thread::sleep_for(std::min<Clock::duration>(tick, until - now));
        }
        return true;
    }

    HubLink::Connection connection_;
    ChunkDispatcher dispatcher_;
    ChunkStream stream_;
};

}  // namespace

void read_loop() {
    const data_callback_fn callback = corvel.pcallback.load();
    if (callback == nullptr) {
        log_error("PCallback was not set. Aborting");
        return;
    }
    bool claimed = false;
    if (!corvel.main_thread_running.compare_exchange_strong(claimed, true)) return;
    const Claim claim;
    if (corvel.link.state() == HubSession::not_opened) {
        log_error("No connection to Corvel: corvel_open_connection has not connected. Aborting");
        return;
    }
    if (!corvel.start_read_thread.load() || corvel.terminate_read_thread.load()) return;  // released
    restart_loss_accounting();
    // The receive buffer is large: keep it off the host thread's stack.
    auto loop = std::make_unique<ReadLoop>(callback);
    loop->run();
}

}  // namespace palvex
