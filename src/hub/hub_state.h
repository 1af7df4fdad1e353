// Process-wide state of hub mode, shared by the host's threads and the read
// loop: one object, `corvel`. The flags are atomic (the loop reads them
// without a lock); the board tables are guarded by board_check_mutex.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "net/socket_client_tcp6.h"
#include "packets/decoder_factory.h"
#include "palvex/palvex.h"

namespace palvex {

constexpr int corvel_port = 5005;
// The hub's mDNS name, used when the host gives no host text.
extern const char* const CORVEL_IP;

// One board met on the hub stream. The decoder is made once and decodes
// each chunk once; its rows go through `delivery` to every context that
// wants the board, so they all receive the same rows and the loss accounting
// runs once per packet, as in single-board mode.
struct BoardStream {
    struct Delivery {
        data_callback_fn callback = nullptr;
        std::vector<void*> contexts;  // the registered one first, then the all-boards ones
    };
    DecoderSlot decoder;       // guarded by board_check_mutex (the write path reads it)
    Delivery delivery;         // the read loop's alone: the decoder's host context points here
    unsigned reported = 0;     // refusals already logged for this board, one bit per cause
};

struct HubState {
    std::atomic<bool> initialized{false};          // connection attempts made once, whatever came of them
    std::atomic<bool> start_read_thread{false};
    std::atomic<bool> terminate_read_thread{false};
    std::atomic<bool> main_thread_running{false};  // a read loop holds the claim

    std::mutex run_mutex;          // the flags' writes, the callback, the connection's creation
    std::mutex board_check_mutex;  // the four tables below

    std::atomic<data_callback_fn> pcallback{nullptr};

    // Entries are never removed while the library runs.
    std::unordered_map<std::string, void*> board_map;  // SSID -> registered context
    std::vector<void*> all_board_vec;                  // contexts for all boards, in registration order
    std::vector<std::string> ssids;                    // every SSID met, in the order first met
    std::unordered_map<std::string, BoardStream> global_packets;

    // The hub connection once a greeting succeeded; never destroyed, so a
    // read loop still running at exit never sees it vanish.
    std::atomic<SocketClientTCP6*> global_socket{nullptr};

    // Forgets every board met and every registration; the connection and
    // the flags stay. For fuzzing and tests only, never while a loop runs.
    void reset();
};

extern HubState corvel;

}  // namespace palvex
