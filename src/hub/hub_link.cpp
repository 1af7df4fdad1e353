#include "hub/hub_link.h"

#include <spdlog/spdlog.h>

#include "ground/logging.h"

namespace palvex {
namespace {

constexpr int corvel_port = 5005;
constexpr std::size_t reply_capacity = 128;

}  // namespace

HubLink::Connection HubLink::greet(const std::string& host, bool quiet) {
    const auto level = quiet ? spdlog::level::debug : spdlog::level::info;
    auto client = std::make_shared<SocketClientTCP6>(host.c_str(), corvel_port);
    const int rc = client->connect();
    if (rc != 0) {
        log_at(quiet ? spdlog::level::debug : spdlog::level::err, "Socket creation error: {} ", rc);
        return nullptr;
    }
    log_at(level, "Successfully created socket, now trying to greet Corvel ... ");
    client->send("Hello", 5);
    char reply[reply_capacity] = {};
    const int n = client->recv(reply, static_cast<int>(reply_capacity));
    if (n < 2 || reply[0] != 'O' || reply[1] != 'K') return nullptr;
    log_at(level, "Corvel handshake successfull.");
    return client;
}

HubLink::Connection HubLink::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

std::string HubLink::host() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return host_;
}

HubSession HubLink::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::pair<HubSession, std::uint32_t> HubLink::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {state_, reconnections_};
}

void HubLink::opened(Connection connection, const std::string& host) {
    Connection old;  // closed outside the lock, once nobody else holds it
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(current_);
    current_ = std::move(connection);
    host_ = host;
    state_ = HubSession::connected;
}

bool HubLink::resume(const std::string& host) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (current_ == nullptr || host_ != host) return false;
    state_ = HubSession::connected;
    return true;
}

void HubLink::open_failed() {
    Connection old;
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(current_);
    state_ = HubSession::not_opened;
}

void HubLink::released() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ != HubSession::not_opened) state_ = HubSession::released;
}

void HubLink::reconnected(Connection connection) {
    Connection old;
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(current_);
    current_ = std::move(connection);
    ++reconnections_;
    if (state_ != HubSession::released) state_ = HubSession::connected;
}

void HubLink::failed(const Connection& connection) {
    Connection old;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connection == nullptr || connection != current_) return;
        old = std::move(current_);
        if (state_ == HubSession::connected) state_ = HubSession::reconnecting;
    }
    old->shutdown();
}

}  // namespace palvex
