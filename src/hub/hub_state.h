// Process-wide state of hub mode, shared by the host's threads and the read
// loop. The flags are atomic (the loop reads them without a lock); the board
// tables are guarded by corvel_board_check_mutex.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "interface/library_state.h"
#include "net/socket_client_tcp6.h"
#include "palvex/palvex.h"

namespace palvex {

constexpr int corvel_port = 5005;
// The hub's mDNS name, used when the host gives no host text.
extern const char* const CORVEL_IP;

extern std::atomic<bool> corvel_initialized;
extern std::atomic<bool> corvel_start_read_thread;
extern std::atomic<bool> corvel_terminate_read_thread;
extern std::atomic<bool> corvel_main_thread_running;

extern std::mutex corvel_run_mutex;
extern std::mutex corvel_board_check_mutex;

extern std::atomic<data_callback_fn> corvel_pcallback;

// One board met on the hub stream. The decoder is made once and decodes
// each chunk once; its rows go through `delivery` to every context that
// wants the board, so they all receive the same rows and the loss accounting
// runs once per packet, as in single-board mode.
struct BoardStream {
    struct Delivery {
        data_callback_fn callback = nullptr;
        std::vector<void*> contexts;  // the registered one first, then the all-boards ones
    };
    DecoderSlot decoder;       // guarded by corvel_board_check_mutex (the write path reads it)
    Delivery delivery;         // the read loop's alone: the decoder's host context points here
    unsigned reported = 0;     // refusals already logged for this board, one bit per cause
};

// Guarded by corvel_board_check_mutex. Entries are never removed.
extern std::unordered_map<std::string, void*> corvel_board_map;
extern std::vector<void*> corvel_all_board_vec;
extern std::vector<std::string> corvel_ssids;
extern std::unordered_map<std::string, BoardStream> corvel_global_packets;

// The hub connection once a greeting succeeded; never destroyed, so a read
// loop still running at exit never sees it vanish.
extern std::atomic<SocketClientTCP6*> global_socket;

}  // namespace palvex
