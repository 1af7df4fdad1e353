// The hub connection as a value: the socket with its greeting behind it.
// A lost connection is never repaired, it is replaced whole: the read loop
// installs a new one, and whoever still holds the old one (a writer in the
// middle of a send) keeps it open until they let go. No socket is closed
// under a send or a receive.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "net/socket_client_tcp6.h"
#include "palvex/palvex.h"

namespace palvex {

// What a host sees of a hub session (corvel_get_connection_state).
enum class HubSession : std::int32_t {
    not_opened = PALVEX_HUB_NOT_OPENED,
    connected = PALVEX_HUB_CONNECTED,
    reconnecting = PALVEX_HUB_RECONNECTING,
    released = PALVEX_HUB_RELEASED,
};

class HubLink {
public:
    using Connection = std::shared_ptr<SocketClientTCP6>;

    // One attempt: connect, say "Hello", accept a reply that begins with
    // "OK". `quiet` keeps a retry from logging what the first attempt of an
    // outage already said.
    static Connection greet(const std::string& host, bool quiet);

    Connection current() const;  // null while there is none
    std::string host() const;
    HubSession state() const;
    // The state and the reconnections so far, as they stood together.
    std::pair<HubSession, std::uint32_t> snapshot() const;

    // corvel_open_connection connected to `host`.
    void opened(Connection connection, const std::string& host);
    // corvel_open_connection again: true (connected) when the current
    // connection is to `host` and can go on.
    bool resume(const std::string& host);
    // corvel_open_connection found no hub: hub mode is not opened.
    void open_failed();
    // corvel_release: the session ends, the connection (if any) stays.
    void released();
    // The read loop connected again after a loss. The session stays
    // released if corvel_release came meanwhile.
    void reconnected(Connection connection);
    // `connection` failed (a receive failed, a send failed or stopped
    // part-way). If it is still the current one it is dropped and shut down,
    // so a receive blocked on it returns at once and the loop reconnects.
    void failed(const Connection& connection);

private:
    mutable std::mutex mutex_;
    Connection current_;
    std::string host_;
    HubSession state_ = HubSession::not_opened;
    std::uint32_t reconnections_ = 0;
};

}  // namespace palvex
