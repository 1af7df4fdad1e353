#include <chrono>
#include <string>
#include <thread>

#include "hub/chunk_stream.h"
#include "hub/hub.h"
#include "hub/hub_state.h"
#include "interface/decoder_factory.h"
#include "interface/logging.h"

namespace palvex {
namespace {

// A receive that comes back empty this fast was not a time-out: the hub
// is gone or the socket failed. Waiting keeps the loop from spinning.
constexpr auto quick_return = std::chrono::milliseconds(50);
constexpr auto idle_wait = std::chrono::milliseconds(50);

bool accepted(int rc) { return rc == 0 || rc == result_dropped || rc == result_config || rc == PALVEX_ERR_NO_CONTEXT; }

// Before every receive and every chunk: true when the loop must end.
bool terminate_requested() {
    const bool terminate = corvel_terminate_read_thread.load();
    corvel_main_thread_running.store(!terminate);
    if (terminate) log_at(spdlog::level::trace, "Terminating signal found, ending reading ...");
    return terminate;
}

class ReadLoop {
public:
    ReadLoop(SocketClientTCP6& socket, data_callback_fn callback) : socket_(socket), callback_(callback) {}

    void run() {
        // The first bytes after the loop starts are thrown away unread.
        receive();
        stream_.clear();
        while (!terminate_requested()) {
            if (receive() <= 0) continue;
            ChunkStream::Chunk chunk;
            while (stream_.next(chunk)) {
                if (terminate_requested()) return;
                if (chunk.corrupted) {
                    log_warn("Got corrupted packet size. Continuing.");
                    continue;
                }
                if (!deliver(chunk)) return;
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

    // False when an interpretation error ends the loop.
    bool deliver(const ChunkStream::Chunk& chunk) {
        const std::size_t length = static_cast<std::size_t>(chunk.length);
        ssid_.assign(chunk.ssid.data(), chunk.ssid.size());
        void* registered = nullptr;
        bool has_registered = false;
        DecoderSlot decoder;
        int rc = 0;
        {
            std::lock_guard<std::mutex> lock(corvel_board_check_mutex);
            const auto entry = corvel_board_map.find(ssid_);
            has_registered = entry != corvel_board_map.end();
            if (has_registered) registered = entry->second;
            auto [slot, is_new] = corvel_global_packets.try_emplace(ssid_);
            if (is_new) {
                log_info("Storing new SSID: {}", ssid_);
                corvel_ssids.push_back(ssid_);
            }
            // The slot is replaced under the lock: the write path reads it from other threads.
            rc = init_data_handler_fn(chunk.payload, length, callback_, registered, slot->second, ssid_.c_str());
            decoder = slot->second;
        }
        if (rc == result_dropped || rc == result_config) {
            log_warn("Found secondary error at packet init: {}. Continuing.", rc);
            return true;
        }
        if (rc != 0) {
            log_warn("Found error at packet init: {}. Continuing.", rc);
            return true;
        }
        if (!decoder) {
            log_warn("Packet handler was not initialized for some reason. Dropping packet and continuing.");
            return true;
        }
        if (has_registered) {
            decoder->host_context = registered;
            rc = decoder->get_packets(chunk.payload, length);
            if (!accepted(rc)) {
                log_error("Packet interpretation error: {}", rc);
                return false;
            }
        }
        // Held while the host's callback runs for every all-boards context.
        std::lock_guard<std::mutex> lock(corvel_board_check_mutex);
        for (void* context : corvel_all_board_vec) {
            decoder->host_context = context;
            rc = decoder->get_packets(chunk.payload, length);
            if (!accepted(rc)) {
                log_error("Packet interpretation error when combined: {}", rc);
                return false;
            }
        }
        return true;
    }

    SocketClientTCP6& socket_;
    data_callback_fn callback_;
    ChunkStream stream_;
    std::string ssid_;
    bool hub_gone_reported_ = false;
};

}  // namespace

void read_loop() {
    const data_callback_fn callback = corvel_pcallback.load();
    if (callback == nullptr) {
        log_error("PCallback was not set. Aborting");
        return;
    }
    bool claimed = false;
    if (!corvel_main_thread_running.compare_exchange_strong(claimed, true)) return;
    SocketClientTCP6* socket = global_socket.load();
    if (socket == nullptr) {
        log_error("No connection to Corvel: corvel_open_connection has not connected. Aborting");
        corvel_main_thread_running.store(false);
        return;
    }
    if (!corvel_start_read_thread.load() || corvel_terminate_read_thread.load()) return;
    // The receive buffer is large: keep it off the host thread's stack.
    auto loop = std::make_unique<ReadLoop>(*socket, callback);
    loop->run();
}

}  // namespace palvex
