// Linux transport: BSD sockets. The client resolves the host to IPv6 stream
// addresses only and tries them in the resolver's order, each with a
// non-blocking connect bounded to two seconds, so an unreachable hub costs a
// known time per address instead of the kernel's minutes-long SYN retries.
#include "net/socket_client_tcp6.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>

#include <spdlog/spdlog.h>

#include "net/transport_messages.h"

using namespace palvex_net;

namespace {

// strerror's text, without strerror's shared buffer.
std::string error_text(int error) { return std::system_category().message(error); }

constexpr std::chrono::milliseconds connect_wait{2000};
constexpr timeval io_timeout{1, 0};

// A hub that reboots or drops off the network sends nothing to say so, and
// a host that only reads would wait on a dead connection forever. Probes
// after 2 s of silence, every second, three unanswered: the connection fails
// within about 5 s, and so does a send that the hub no longer acknowledges.
constexpr int keepalive_idle_s = 2;
constexpr int keepalive_interval_s = 1;
constexpr int keepalive_probes = 3;
constexpr unsigned user_timeout_ms = 5000;

void watch_for_a_dead_peer(int fd) {
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &keepalive_idle_s, sizeof keepalive_idle_s);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &keepalive_interval_s, sizeof keepalive_interval_s);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &keepalive_probes, sizeof keepalive_probes);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user_timeout_ms, sizeof user_timeout_ms);
}

bool set_nonblocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, wanted) == 0;
}

// poll rather than select: select cannot watch a descriptor at or above
// FD_SETSIZE, and a host may well hold a thousand descriptors already.
// Ready means what select's write set would say: writable or in error; the
// caller reads the pending error to tell which.
bool wait_writable(int fd, std::chrono::milliseconds limit) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now());
        pollfd entry{fd, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
        if (ready > 0) return (entry.revents & (POLLOUT | POLLERR)) != 0;
        if (ready == 0) return false;
        if (errno != EINTR || clock::now() >= deadline) return false;
    }
}

bool is_link_local(const in6_addr& address) {
    return address.s6_addr[0] == 0xFE && (address.s6_addr[1] & 0xC0) == 0x80;
}

std::optional<std::string> numeric_host(const addrinfo& entry) {
    char text[NI_MAXHOST];  // 1025 bytes
    if (::getnameinfo(entry.ai_addr, entry.ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) {
        report(numeric_failed);
        return std::nullopt;
    }
    return std::string(text);
}

// One candidate, from the filled-in address to a connected blocking socket.
// Returns the descriptor, or -1 with every descriptor it opened closed.
int open_connection(const addrinfo& entry, const std::string& numeric) {
    sockaddr_in6 address{};
    std::memcpy(&address, entry.ai_addr, std::min<std::size_t>(entry.ai_addrlen, sizeof address));

    // A link-local address means nothing without its interface.
    if (is_link_local(address.sin6_addr) && address.sin6_scope_id == 0) {
        const auto percent = numeric.find('%');
        if (percent != std::string::npos) {
            const std::string interface_name = numeric.substr(percent + 1);
            const unsigned index = ::if_nametoindex(interface_name.c_str());
            if (index == 0) {
                report(interface_unresolved, interface_name);
                return -1;
            }
            address.sin6_scope_id = index;
            report(scope_id_set, index);
        }
    }

    // CLOEXEC: a host that spawns processes must not hand them the hub socket.
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        report(socket_failed, error_text(errno));
        return -1;
    }
    const auto give_up = [fd](const message& m, auto... args) {
        report(m, args...);
        ::close(fd);
        return -1;
    };

    if (!set_nonblocking(fd, true)) return give_up(nonblocking_failed, error_text(errno));

    // Bounded send/recv keep the hub read loop responsive to its stop flag.
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &io_timeout, sizeof io_timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &io_timeout, sizeof io_timeout);
    watch_for_a_dead_peer(fd);

    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        return give_up(connect_failed, error_text(errno));
    }
    if (!wait_writable(fd, connect_wait)) return give_up(wait_failed);
    // A refused connection also makes the socket writable; only the pending
    // error tells it from a connected one, so the next candidate gets its turn.
    int pending = 0;
    socklen_t pending_size = sizeof pending;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &pending_size) != 0) pending = errno;
    if (pending != 0) return give_up(connect_refused, error_text(pending));
    if (!set_nonblocking(fd, false)) return give_up(blocking_failed, error_text(errno));
    return fd;
}

}  // namespace

SocketClientTCP6::~SocketClientTCP6() {
    if (connected()) close();
}

int SocketClientTCP6::connect() {
    // A repeated connect() replaces the connection instead of leaking it.
    if (connected()) close();

    if (host_too_long) {
        report(resolver_failed, host_missing ? "no host name given" : "host name longer than 31 characters");
        return 2;
    }

    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_flags = 0;
    hints.ai_family = AF_INET6;  // no AI_V4MAPPED: an IPv4-only host fails here
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = 0;
    addrinfo* found = nullptr;
    const int resolved = ::getaddrinfo(host, service.c_str(), &hints, &found);
    if (resolved != 0) {
        report(resolver_failed, ::gai_strerror(resolved));
        return 2;
    }
    const std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, ::freeaddrinfo);

    socket_fd = first_connected(list.get(), ip_addresses, numeric_host, [](const addrinfo& entry, const std::string& numeric) {
        const int fd = open_connection(entry, numeric);
        return fd >= 0 ? native_socket{fd} : no_socket;
    });
    if (connected()) return 0;
    report(nothing_connected);
    return 3;
}

std::vector<std::string> SocketClientTCP6::get_network_adapters() {
    std::vector<std::string> names;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        report(adapters_failed, errno);
        return names;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET6) {
            names.emplace_back(entry->ifa_name);
        }
    }
    ::freeifaddrs(list);
    return names;
}


int SocketClientTCP6::send(const char* data, int length) {
    // A negative length would turn into a huge size_t and read past the data.
    if (length < 0) {
        errno = EINVAL;
        return -1;
    }
    // MSG_NOSIGNAL: a hub that went away must not kill the host with SIGPIPE.
    return static_cast<int>(::send(static_cast<int>(socket_fd), data, static_cast<std::size_t>(length),
                                   MSG_NOSIGNAL));
}

int SocketClientTCP6::recv(void* buffer, int capacity) {
    if (capacity < 0) {  // would otherwise let the kernel write past the buffer
        errno = EINVAL;
        return -1;
    }
    return static_cast<int>(::recv(static_cast<int>(socket_fd), buffer, static_cast<std::size_t>(capacity), 0));
}

int SocketClientTCP6::close() {
    if (!connected()) return 0;
    const int result = ::close(static_cast<int>(socket_fd));
    socket_fd = no_socket;
    return result;
}

int SocketClientTCP6::shutdown() {
    if (!connected()) return 0;
    return ::shutdown(static_cast<int>(socket_fd), SHUT_RDWR);
}

bool SocketClientTCP6::last_failure_was_timeout() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}
