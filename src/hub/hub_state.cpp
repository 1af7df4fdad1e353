#include "hub/hub_state.h"

namespace palvex {

const char* const CORVEL_IP = "corvel.local";

std::atomic<bool> corvel_initialized{false};
std::atomic<bool> corvel_start_read_thread{false};
std::atomic<bool> corvel_terminate_read_thread{false};
std::atomic<bool> corvel_main_thread_running{false};

std::mutex corvel_run_mutex;
std::mutex corvel_board_check_mutex;

std::atomic<data_callback_fn> corvel_pcallback{nullptr};

std::unordered_map<std::string, void*> corvel_board_map;
std::vector<void*> corvel_all_board_vec;
std::vector<std::string> corvel_ssids;
std::unordered_map<std::string, BoardStream> corvel_global_packets;

std::atomic<SocketClientTCP6*> global_socket{nullptr};

}  // namespace palvex
