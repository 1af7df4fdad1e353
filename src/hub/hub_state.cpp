#include "hub/hub_state.h"

namespace palvex {

const char* const CORVEL_IP = "corvel.local";

// Deliberately never freed (see hub_state.h); reachable, so leak checkers
// do not report it.
HubState& corvel = *new HubState;

void HubState::reset() {
    std::lock_guard<std::mutex> lock(board_check_mutex);
    board_map.clear();
    registrations.clear();
    all_board_vec.clear();
    ssids.clear();
    global_packets.clear();
}

}  // namespace palvex
