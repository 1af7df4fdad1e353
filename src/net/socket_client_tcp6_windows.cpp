// Windows transport: WinSock 2 and the IP Helper library. Same contract as
// the Linux unit, with WinSock's own rules: every client starts WinSock once
// (its first connect()), the failures of single candidates are silent, and
// the only diagnostics are the address being tried and a failed adapter list.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// winsock2.h before anything that may pull in windows.h (spdlog does).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <mstcpip.h>

#include "net/socket_client_tcp6.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include <spdlog/spdlog.h>

#include "net/transport_messages.h"

using namespace palvex_net;

namespace {

static_assert(static_cast<SocketClientTCP6::native_socket>(INVALID_SOCKET) == SocketClientTCP6::no_socket,
              "the shared 'no socket' value must be WinSock's invalid handle");

SOCKET as_socket(SocketClientTCP6::native_socket s) { return static_cast<SOCKET>(s); }
SocketClientTCP6::native_socket as_native(SOCKET s) {
    return static_cast<SocketClientTCP6::native_socket>(s);
}

constexpr DWORD io_timeout_ms = 1000;
constexpr long connect_wait_s = 2;
constexpr ULONG adapter_buffer_size = 15000;

// A hub that reboots or drops off the network sends nothing to say so:
// keep-alive probes after 2 s of silence, every second, so a host that only
// reads learns within seconds that the connection is dead.
constexpr ULONG keepalive_idle_ms = 2000;
constexpr ULONG keepalive_interval_ms = 1000;

void watch_for_a_dead_peer(SOCKET s) {
    const BOOL on = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive values{1, keepalive_idle_ms, keepalive_interval_ms};
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
}

// The numeric text of a candidate. NI_NAMEREQD with NI_NUMERICHOST is what
// this transport has always asked for; WinSock gives the numeric form. Wine
// hands the pair to the C library of the system below it, where NI_NAMEREQD
// wins and every address without a reverse name fails, so a refusal of the
// pair is retried as a plain numeric conversion, which yields the text
// WinSock would have given.
std::optional<std::string> numeric_host(const addrinfo& entry) {
    char text[NI_MAXHOST];  // 1025 bytes
    const auto convert = [&](int flags) {
        return ::getnameinfo(entry.ai_addr, static_cast<socklen_t>(entry.ai_addrlen), text, sizeof text,
                             nullptr, 0, flags) == 0;
    };
    if (convert(NI_NUMERICHOST | NI_NAMEREQD) || convert(NI_NUMERICHOST)) return std::string(text);
    return std::nullopt;
}

// One candidate, from its address to a connected socket in blocking mode.
// Returns the handle, or INVALID_SOCKET with the socket it opened closed.
SOCKET open_connection(const addrinfo& entry) {
    sockaddr_storage address{};
    std::memcpy(&address, entry.ai_addr, std::min<std::size_t>(entry.ai_addrlen, sizeof address));

    const SOCKET s = ::socket(entry.ai_family, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return INVALID_SOCKET;
    const auto give_up = [s] {
        ::closesocket(s);
        return INVALID_SOCKET;
    };

    u_long non_blocking = 1;
    ::ioctlsocket(s, FIONBIO, &non_blocking);

    // Bounded send/recv keep the hub read loop responsive to its stop flag.
    // WinSock takes these as a DWORD count of milliseconds, not a timeval.
    const DWORD timeout = io_timeout_ms;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    watch_for_a_dead_peer(s);

    if (::connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof(sockaddr_storage)) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
        return give_up();
    }

    // On Windows FD_SETSIZE limits how many sockets a set holds, not how
    // large a handle may be, so select() is sound for any handle. A refused
    // connection shows up in the error set: watching it lets the next
    // candidate be tried at once instead of after the whole wait.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval wait{connect_wait_s, 0};
    const int ready = ::select(0, nullptr, &writable, &failed, &wait);
    if (ready == 0 || ready == SOCKET_ERROR || FD_ISSET(s, &failed)) return give_up();
    int pending = 0;
    int pending_size = sizeof pending;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &pending_size) != 0 ||
        pending != 0)
        return give_up();

    u_long blocking = 0;
    ::ioctlsocket(s, FIONBIO, &blocking);
    return s;
}

}  // namespace

SocketClientTCP6::~SocketClientTCP6() {
    if (connected()) close();
    // WinSock counts start-ups; a dropped client gives its own back.
    if (wsa_started) ::WSACleanup();
}

int SocketClientTCP6::connect() {
    if (wsa_started) return 5;
    // Refused like a name that does not resolve, and as silently.
    if (host_too_long) return 2;

    WSADATA wsa_data;
    if (::WSAStartup(MAKEWORD(2, 2), &wsa_data) != 0) {
        socket_fd = no_socket;
        return 1;
    }
    wsa_started = true;

    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_flags = AI_ADDRCONFIG;
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host, service.c_str(), &hints, &found) != 0) {
        close();
        ::WSACleanup();
        wsa_started = false;
        return 2;
    }
    const std::unique_ptr<addrinfo, void(WSAAPI*)(addrinfo*)> list(found, ::freeaddrinfo);

    socket_fd = first_connected(list.get(), ip_addresses, numeric_host, [](const addrinfo& entry, const std::string&) {
        const SOCKET s = open_connection(entry);
        return s != INVALID_SOCKET ? as_native(s) : no_socket;
    });
    return connected() ? 0 : 3;
}

std::vector<std::string> SocketClientTCP6::get_network_adapters() {
    std::vector<std::string> descriptions;
    ULONG size = adapter_buffer_size;
    // new[] of bytes is aligned for any fundamental type, IP_ADAPTER_INFO included.
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]());
    DWORD result = ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
    if (result == ERROR_BUFFER_OVERFLOW) {
        buffer.reset(new unsigned char[size]());
        result = ::GetAdaptersInfo(reinterpret_cast<IP_ADAPTER_INFO*>(buffer.get()), &size);
    }
    if (result != NO_ERROR) {
        report(adapters_failed, static_cast<unsigned long>(result));
        return descriptions;
    }
    for (auto* adapter = reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.get()); adapter != nullptr;
         adapter = adapter->Next) {
        descriptions.emplace_back(adapter->Description);
    }
    return descriptions;
}


int SocketClientTCP6::send(const char* data, int length) {
    return ::send(as_socket(socket_fd), data, length, 0);
}

int SocketClientTCP6::recv(void* buffer, int capacity) {
    return ::recv(as_socket(socket_fd), static_cast<char*>(buffer), capacity, 0);
}

int SocketClientTCP6::close() {
    if (!connected()) return 0;
    const int result = ::closesocket(as_socket(socket_fd));
    socket_fd = no_socket;
    return result;
}

int SocketClientTCP6::shutdown() {
    if (!connected()) return 0;
    return ::shutdown(as_socket(socket_fd), SD_BOTH);
}

bool SocketClientTCP6::last_failure_was_timeout() {
    const int error = ::WSAGetLastError();
    return error == WSAETIMEDOUT || error == WSAEWOULDBLOCK || error == WSAEINTR;
}
