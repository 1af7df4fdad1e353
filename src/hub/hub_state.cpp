#include "hub/hub_state.h"

namespace palvex {

const char* const CORVEL_IP = "corvel.local";

HubState corvel;

void HubState::reset() {
    std::lock_guard<std::mutex> lock(board_check_mutex);
    board_map.clear();
    all_board_vec.clear();
    ssids.clear();
    global_packets.clear();
}

}  // namespace palvex
