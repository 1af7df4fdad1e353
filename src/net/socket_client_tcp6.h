// The library's one TCP client: resolves a host to IPv6 stream addresses and
// connects with a bounded, non-blocking connect. One interface, two units:
// socket_client_tcp6_linux.cpp (BSD sockets) and socket_client_tcp6_windows.cpp
// (WinSock 2). Every platform #ifdef of the library lives below src/net/.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace spdlog { class logger; }

class SocketClientTCP6 {
public:
    // Wide enough for a Linux descriptor and a WinSock SOCKET handle alike;
    // -1 (all ones) is "no socket" on both.
    using native_socket = std::intptr_t;
    static constexpr native_socket no_socket = -1;

    // The host text holds at most this many characters; a longer one is kept
    // out of the resolver and refused by connect() with result 2.
    static constexpr std::size_t max_host_length = 31;

    SocketClientTCP6(const char* host, int port);
    ~SocketClientTCP6();  // closes a socket still open, so a dropped attempt leaks nothing
    SocketClientTCP6(const SocketClientTCP6&) = delete;
    SocketClientTCP6& operator=(const SocketClientTCP6&) = delete;

    // 0 connected (blocking mode, 1 s send/receive time-outs); 2 resolver failed
    // or host text too long; 3 no candidate connected. Windows adds 1 (WinSock
    // start-up failed) and 5 (this client already ran connect()).
    int connect();

    static std::vector<std::string> get_network_adapters();
    std::vector<std::string> get_ip_addresses() const;

    // One platform call each. send never raises SIGPIPE; results as the
    // platform gives them (bytes, 0 when the peer closed for recv, -1 on error
    // or time-out).
    int send(const char* data, int length);
    int recv(void* buffer, int capacity);
    int close();
    // Ends the connection in both directions but keeps the descriptor, so a
    // receive blocked on another thread returns at once and no call ever
    // meets a descriptor that was closed (and perhaps reused) under it.
    int shutdown();

    // After a send or recv on this thread returned -1: true when that was
    // the 1 s time-out (or an interruption), false when the connection failed.
    static bool last_failure_was_timeout();

    // While one lives on a thread, the transport's messages from that thread
    // go to the logger at debug level only (and nothing to the standard
    // streams): a read loop retrying a lost hub every few seconds reports the
    // outage once instead of every failed attempt.
    class QuietAttempts {
    public:
        QuietAttempts() : previous_(quiet_) { quiet_ = true; }
        ~QuietAttempts() { quiet_ = previous_; }
        QuietAttempts(const QuietAttempts&) = delete;
        QuietAttempts& operator=(const QuietAttempts&) = delete;
        static bool active() { return quiet_; }

    private:
        bool previous_;
        static thread_local bool quiet_;
    };

    bool connected() const { return socket_fd != no_socket; }

    // Windows hosts reach the hub through its USB network adapter; when no
    // host text is given, the hub connection refuses early without one.
#ifdef _WIN32
    static constexpr bool hub_adapter_required = true;
#else
    static constexpr bool hub_adapter_required = false;
#endif
    static constexpr const char* hub_adapter_description = "Remote NDIS Compatible Device";

    // Class-wide logger; null means "write the fallback lines to the standard
    // streams". Bound by the hub connection before it creates any client.
    static std::atomic<spdlog::logger*> logger;

private:
    char host[max_host_length + 1] = {};
    bool host_too_long = false;  // also set for a null host; the buffer then stays empty
    bool host_missing = false;   // the host text was null (says why connect() refuses)
    int port = 0;
    std::vector<std::string> ip_addresses;
    native_socket socket_fd = no_socket;
    bool wsa_started = false;  // used by the Windows unit only
};
