#include "hub_client.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "command_line.h"

namespace palvex_tools {
namespace {

// One address: a socket connected within `limit`, or -1 with errno saying why.
int connect_to(const addrinfo& address, std::chrono::milliseconds limit) {
    const int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
    if (fd < 0) return -1;
    int err = ::connect(fd, address.ai_addr, address.ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        err = ETIMEDOUT;
        socklen_t len = sizeof err;
        if (::poll(&p, 1, static_cast<int>(limit.count())) == 1) ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    if (err == 0) return fd;
    ::close(fd);
    errno = err;
    return -1;
}

}  // namespace

HubClient::HubClient(const std::string& host, std::chrono::milliseconds limit) {
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;  // never a resolver: the hub has a numeric address
    addrinfo* found = nullptr;
    const int gai = getaddrinfo(host.c_str(), "5005", &hints, &found);
    if (gai != 0) throw ToolError(gai_strerror(gai));
    std::string why = "no address";
    for (const addrinfo* a = found; a && fd_ < 0; a = a->ai_next) {
        fd_ = connect_to(*a, limit);
        if (fd_ < 0) why = std::strerror(errno);
    }
    freeaddrinfo(found);
    if (fd_ < 0) throw ToolError(why);
}

HubClient::~HubClient() { close(); }

void HubClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void HubClient::send(const char* data, std::size_t size) { ::send(fd_, data, size, MSG_NOSIGNAL); }

long HubClient::receive(unsigned char* buffer, std::size_t room, std::chrono::milliseconds wait) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return 0;
    const ssize_t n = ::recv(fd_, buffer, room, 0);
    if (n == 0) return -1;
    if (n < 0) return errno == EAGAIN || errno == EINTR ? 0 : -1;
    return static_cast<long>(n);
}

}  // namespace palvex_tools
