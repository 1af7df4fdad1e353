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

// A receive that comes back empty this fast was not a time-out: the hub
// is gone or the socket failed. Waiting keeps the loop from spinning.
constexpr auto quick_return = std::chrono::milliseconds(50);
constexpr auto idle_wait = std::chrono::milliseconds(50);

// Before every receive and every chunk: true when the loop must end.
bool terminate_requested() {
    const bool terminate = corvel.terminate_read_thread.load();
    corvel.main_thread_running.store(!terminate);
    if (terminate) log_at(spdlog::level::trace, "Terminating signal found, ending reading ...");
    return terminate;
}

class ReadLoop {
public:
    ReadLoop(SocketClientTCP6& socket, data_callback_fn callback) : socket_(socket), dispatcher_(callback) {}

    void run() {
        // The first bytes after the loop starts are thrown away unread. The
        // hub has been streaming all along, so what follows them may begin
        // anywhere inside a chunk: the stream has to find its step first.
        receive();
        stream_.clear();
        stream_.lose_step();
        while (!terminate_requested()) {
            if (receive() <= 0) continue;
            ChunkStream::Chunk chunk;
            while (stream_.next(chunk)) {
                if (terminate_requested()) return;
                dispatcher_.dispatch(chunk);
            }
        }
    }

private:
    int receive() {
        const auto start = std::chrono::steady_clock::now();
        const int n = socket_.recv(stream_.receive_area(), static_cast<int>(stream_.receive_room()));
        if (n > 0) {
            stream_.received(static_cast<std::size_t>(n));
            return n;
        }
        if (n == 0 && !hub_gone_reported_) {
            log_warn("Corvel closed the connection; waiting for corvel_release.");
            hub_gone_reported_ = true;
        }
        if (std::chrono::steady_clock::now() - start < quick_return) std::this_thread::sleep_for(idle_wait);
        return n;
    }

    SocketClientTCP6& socket_;
    ChunkDispatcher dispatcher_;
    ChunkStream stream_;
    bool hub_gone_reported_ = false;
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
    SocketClientTCP6* socket = corvel.global_socket.load();
    if (socket == nullptr) {
        log_error("No connection to Corvel: corvel_open_connection has not connected. Aborting");
        corvel.main_thread_running.store(false);
        return;
    }
    if (!corvel.start_read_thread.load() || corvel.terminate_read_thread.load()) return;
    // The receive buffer is large: keep it off the host thread's stack.
    auto loop = std::make_unique<ReadLoop>(*socket, callback);
    loop->run();
}

}  // namespace palvex
