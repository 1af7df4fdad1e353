// Process-wide state of hub mode, shared by the host's threads and the read
// loop: one object, `corvel`. The flags are atomic (the loop reads them
// without a lock); the board tables are guarded by board_check_mutex.
//
// The object is made once on the heap and never destroyed: a host may
// return from main (or call exit) while corvel_read_thread runs, and the
// loop must not find its tables destroyed under it by static destructors.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hub/hub_link.h"
#include "packets/decoder_factory.h"
#include "palvex/palvex.h"

namespace palvex {

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
    std::atomic<bool> start_read_thread{false};    // hub mode is armed: a read loop may run
    std::atomic<bool> terminate_read_thread{false};
    std::atomic<bool> main_thread_running{false};  // a read loop holds the claim

    std::mutex run_mutex;          // open and release, the callback
    std::mutex board_check_mutex;  // the tables below
    std::mutex write_mutex;        // one write frame on the wire at a time

    std::atomic<data_callback_fn> pcallback{nullptr};

    // Entries are never removed while the library runs.
    std::unordered_map<std::string, void*> board_map;              // SSID -> registered context
    std::vector<std::pair<std::string, void*>> registrations;      // the same, in registration order
    std::vector<void*> all_board_vec;                              // contexts for all boards, in registration order
    std::vector<std::string> ssids;                                // every SSID met, in the order first met
    std::unordered_map<std::string, BoardStream> global_packets;

    HubLink link;

    // Forgets every board met and every registration; the connection and
    // the flags stay. For fuzzing and tests only, never while a loop runs.
    void reset();
};

extern HubState& corvel;

}  // namespace palvex
