// The platform-neutral part of the TCP client: the host text and the list
// of addresses tried. The socket code lives in the Linux and Windows units.
#include "net/socket_client_tcp6.h"

#include <cstring>

std::atomic<spdlog::logger*> SocketClientTCP6::logger{nullptr};
thread_local bool SocketClientTCP6::QuietAttempts::quiet_ = false;

SocketClientTCP6::SocketClientTCP6(const char* host_text, int port_number) : port(port_number) {
    if (host_text == nullptr) {
        host_too_long = true;
        host_missing = true;
        return;
    }
    const std::size_t length = ::strnlen(host_text, max_host_length + 1);
    if (length > max_host_length) {
        // A cut-off name could resolve to some other machine; connect() refuses it.
        host_too_long = true;
        return;
    }
    std::memcpy(host, host_text, length + 1);
}

std::vector<std::string> SocketClientTCP6::get_ip_addresses() const { return ip_addresses; }
