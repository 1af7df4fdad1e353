// A plain TCP client of the hub, for recording: the library hands a host
// rows, never chunks, so palvex-decode reads the hub's chunks itself.
// (POSIX.)
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace palvex_tools {

class HubClient {
public:
    // Connects to port 5005 of `host`, waiting at most `limit` for each of
    // its addresses. Throws ToolError with the reason no connection was made
    // ("Connection refused").
    HubClient(const std::string& host, std::chrono::milliseconds limit);
    ~HubClient();
    HubClient(const HubClient&) = delete;
    HubClient& operator=(const HubClient&) = delete;

    // Best effort: a hub that is gone shows in the next receive().
    void send(const char* data, std::size_t size);
    // The bytes that arrived within `wait` (0 when none did), or -1 once
    // the hub has closed the connection.
    long receive(unsigned char* buffer, std::size_t room, std::chrono::milliseconds wait);
    void close();

private:
    int fd_ = -1;
};

}  // namespace palvex_tools
