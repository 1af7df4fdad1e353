#include <algorithm>
#include <memory>
#include <string>

#include "hub/hub.h"
#include "hub/hub_state.h"
#include "ground/logging.h"

namespace palvex {
namespace {

constexpr int connection_attempts = 5;
constexpr std::size_t reply_capacity = 128;

bool has_hub_adapter() {
    const auto adapters = SocketClientTCP6::get_network_adapters();
    return std::any_of(adapters.begin(), adapters.end(), [](const std::string& description) {
        return description.find(SocketClientTCP6::hub_adapter_description) != std::string::npos;
    });
}

// One attempt: connect, say "Hello", accept a reply that begins with "OK".
std::unique_ptr<SocketClientTCP6> greet(const std::string& host) {
    auto client = std::make_unique<SocketClientTCP6>(host.c_str(), corvel_port);
    const int rc = client->connect();
    if (rc != 0) {
        log_error("Socket creation error: {} ", rc);
        return nullptr;
    }
    log_info("Successfully created socket, now trying to greet Corvel ... ");
    client->send("Hello", 5);
    char reply[reply_capacity] = {};
    const int n = client->recv(reply, static_cast<int>(reply_capacity));
    if (n < 2 || reply[0] != 'O' || reply[1] != 'K') return nullptr;
    log_info("Corvel handshake successfull.");
    return client;
}

}  // namespace

std::int32_t open_connection(const char* host, spdlog::logger* log) {
    bind_logger(log);
    log_info("Opening connection to Corvel ... ");
    const bool host_given = host != nullptr && *host != '\0';
    const std::string target = host_given ? host : CORVEL_IP;

    std::lock_guard<std::mutex> lock(corvel.run_mutex);
    if (corvel.initialized.load()) return 0;
    SocketClientTCP6::logger.store(bound_logger());
    const bool adapter_present = has_hub_adapter();
    if (SocketClientTCP6::hub_adapter_required && !host_given && !adapter_present)
        return PALVEX_ERR_NO_HUB_ADAPTER;

    for (int attempt = 0; attempt < connection_attempts; ++attempt) {
        if (auto client = greet(target)) {
            corvel.global_socket.store(client.release());
            break;
        }
    }
    corvel.start_read_thread.store(true);
    corvel.terminate_read_thread.store(false);
    corvel.initialized.store(true);
    return corvel.global_socket.load() != nullptr ? 0 : PALVEX_ERR_NO_CONNECTION;
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
    return 0;
}

}  // namespace palvex
