#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "hub/hub.h"
#include "hub/hub_state.h"
#include "ground/logging.h"

namespace palvex {
namespace {

using namespace std::chrono_literals;

constexpr int connection_attempts = 5;
// Pauses between the attempts of one open: a hub that is still booting gets
// about two seconds instead of one instant.
constexpr std::chrono::milliseconds attempt_pauses[connection_attempts - 1] = {125ms, 250ms, 500ms, 1000ms};
// How long an open waits for a read loop that was asked to end.
constexpr auto loop_end_wait = 3s;

bool has_hub_adapter() {
    const auto adapters = SocketClientTCP6::get_network_adapters();
    return std::any_of(adapters.begin(), adapters.end(), [](const std::string& description) {
        return description.find(SocketClientTCP6::hub_adapter_description) != std::string::npos;
    });
}

void arm() {
    corvel.start_read_thread.store(true);
    corvel.terminate_read_thread.store(false);
}

// A loop that saw the terminate flag ends after its current receive (at
// most a second) or chunk; one still inside a host callback may take longer.
bool wait_for_the_loop_to_end() {
    const auto deadline = std::chrono::steady_clock::now() + loop_end_wait;
    while (corvel.main_thread_running.load()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

}  // namespace

std::int32_t open_connection(const char* host, spdlog::logger* log) {
    bind_logger(log);
    log_info("Opening connection to Corvel ... ");
    const bool host_given = host != nullptr && *host != '\0';
    const std::string target = host_given ? host : CORVEL_IP;

    std::lock_guard<std::mutex> lock(corvel.run_mutex);
    if (corvel.main_thread_running.load()) {
        // A running loop owns the connection: nothing changes.
        if (!corvel.terminate_read_thread.load())
            return corvel.link.current() != nullptr ? 0 : PALVEX_ERR_NO_CONNECTION;
        if (!wait_for_the_loop_to_end()) {
            log_error("The read loop asked to end has not ended yet; hub mode not opened again.");
            return PALVEX_ERR_NO_CONNECTION;
        }
    }
    if (corvel.link.resume(target)) {
        arm();
        return 0;
    }
    SocketClientTCP6::logger.store(bound_logger());
    const bool adapter_present = has_hub_adapter();
    if (SocketClientTCP6::hub_adapter_required && !host_given && !adapter_present)
        return PALVEX_ERR_NO_HUB_ADAPTER;

    for (int attempt = 0; attempt < connection_attempts; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(attempt_pauses[attempt - 1]);
        if (auto connection = HubLink::greet(target, false)) {
            corvel.link.opened(std::move(connection), target);
            arm();
            return 0;
        }
    }
    // Not opened: a read loop started now returns at once, and the next
    // open tries again.
    corvel.link.open_failed();
    corvel.start_read_thread.store(false);
    return PALVEX_ERR_NO_CONNECTION;
}

std::int32_t set_pcallback(data_callback_fn callback) {
    std::lock_guard<std::mutex> lock(corvel.run_mutex);
    if (corvel.pcallback.load() == nullptr) corvel.pcallback.store(callback);
    return 0;
}

std::int32_t release_hub() {
    std::lock_guard<std::mutex> lock(corvel.run_mutex);
    corvel.start_read_thread.store(false);
    corvel.terminate_read_thread.store(true);
    corvel.link.released();
    return 0;
}

std::int32_t connection_state(std::int32_t* state, std::uint32_t* reconnections) {
    // Written first, so a host never reads what it left uninitialised.
    if (state != nullptr) *state = PALVEX_HUB_NOT_OPENED;
    if (reconnections != nullptr) *reconnections = 0;
    const auto [session, count] = corvel.link.snapshot();
    if (state != nullptr) *state = static_cast<std::int32_t>(session);
    if (reconnections != nullptr) *reconnections = count;
    return 0;
}

}  // namespace palvex
