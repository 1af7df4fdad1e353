// Placeholder: the Linux transport is being written.
#include "net/socket_client_tcp6.h"

std::atomic<spdlog::logger*> SocketClientTCP6::logger{nullptr};
SocketClientTCP6::SocketClientTCP6(const char*, int p) : port(p) {}
SocketClientTCP6::~SocketClientTCP6() = default;
int SocketClientTCP6::connect() { return 3; }
std::vector<std::string> SocketClientTCP6::get_network_adapters() { return {}; }
std::vector<std::string> SocketClientTCP6::get_ip_addresses() const { return ip_addresses; }
int SocketClientTCP6::send(const char*, int) { return -1; }
int SocketClientTCP6::recv(void*, int) { return -1; }
int SocketClientTCP6::close() { return 0; }
