// The transport's diagnostics, shared by the Linux and Windows units. Each
// has a logger form (level, "{}" text) and a form for hosts that bound no
// logger: a fixed text on stdout or stderr followed by the argument.
#pragma once

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

#include "net/socket_client_tcp6.h"

namespace palvex_net {

struct message {
    spdlog::level::level_enum level;
    const char* log_text;
    bool to_stdout;
    const char* fallback_text;
};

inline constexpr message resolver_failed{spdlog::level::err, "getaddrinfo failed: {}", false,
                                  "getaddrinfo failed: "};
inline constexpr message numeric_failed{spdlog::level::err, "getnameinfo failed, skipping address", false,
                                 "getnameinfo failed, skipping address"};
inline constexpr message trying_address{spdlog::level::info, "Trying to connect to ip address: {}", true,
                                 "PALVAPI -- Trying to connect to ip address: "};
inline constexpr message interface_unresolved{spdlog::level::err, "Failed to resolve interface index for {}",
                                       false, "DEBUG: Failed to resolve interface index for "};
inline constexpr message scope_id_set{spdlog::level::debug, "Set sin6_scope_id to interface index {}", true,
                               "DEBUG: Set sin6_scope_id to interface index "};
inline constexpr message socket_failed{spdlog::level::err, "socket() failed: {}", false,
                                "DEBUG: socket() failed: "};
inline constexpr message nonblocking_failed{spdlog::level::err, "Failed to set non-blocking mode: {}", false,
                                     "DEBUG: failed to set non-blocking: "};
inline constexpr message connect_failed{spdlog::level::err, "connect() failed immediately: {}", false,
                                 "DEBUG: connect() failed immediately: "};
inline constexpr message connect_refused{spdlog::level::err, "connect() failed: {}", false,
                                  "DEBUG: connect() failed: "};
inline constexpr message wait_failed{spdlog::level::err, "select() failed or timed out", false,
                              "DEBUG: select() failed or timed out"};
inline constexpr message blocking_failed{spdlog::level::err, "Failed to restore blocking mode: {}", false,
                                  "DEBUG: failed to restore blocking mode: "};
inline constexpr message nothing_connected{spdlog::level::err, "Failed to connect to any resolved address",
                                    false, "DEBUG: Failed to connect to any resolved address"};
inline constexpr message adapters_failed{spdlog::level::err,
                                  "Failed to get network adapters info, error code: {}", false,
                                  "Failed to get network adapters info, error code: "};

// Walks the resolver's list in its order: every IPv6 stream entry that has a
// numeric text is reported, recorded in `tried` and opened; the first that
// opens wins. Each platform unit brings its own resolver types, its own
// numeric conversion and its own way to open one candidate.
template <class AddressList, class Numeric, class Open>
SocketClientTCP6::native_socket first_connected(const AddressList* list, std::vector<std::string>& tried,
                                                Numeric numeric_host, Open open);

template <typename... Args>
void report(const message& m, const Args&... args) {
    static_assert(sizeof...(Args) <= 1, "every message carries at most one argument");
    const bool quiet = SocketClientTCP6::QuietAttempts::active();
    if (spdlog::logger* log = SocketClientTCP6::logger.load()) {
        const auto level = quiet ? std::min(m.level, spdlog::level::debug) : m.level;
        if constexpr (sizeof...(Args) == 0) {
            log->log(level, spdlog::string_view_t{m.log_text});
        } else {
            log->log(level, fmt::runtime(m.log_text), args...);
        }
        return;
    }
    if (quiet) return;
    std::ostream& out = m.to_stdout ? std::cout : std::cerr;
    out << m.fallback_text;
    ((out << args), ...);
    out << std::endl;
}

template <class AddressList, class Numeric, class Open>
SocketClientTCP6::native_socket first_connected(const AddressList* list, std::vector<std::string>& tried,
                                                Numeric numeric_host, Open open) {
    for (const AddressList* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET6 || entry->ai_addr == nullptr) continue;
        const auto numeric = numeric_host(*entry);
        if (!numeric) continue;
        report(trying_address, *numeric);
        tried.push_back(*numeric);
        const SocketClientTCP6::native_socket s = open(*entry, *numeric);
        if (s != SocketClientTCP6::no_socket) return s;
    }
    return SocketClientTCP6::no_socket;
}

}  // namespace palvex_net
