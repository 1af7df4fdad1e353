// Test plumbing for the TCP client: listeners on [::1] at ephemeral ports,
// a listener that lets no further connection complete, a logger that records
// what it receives, descriptor accounting, time limits and private network
// namespaces. Nothing here leaves the IPv6 loopback, or a private namespace
// that a test created.
#pragma once

#include <signal.h>
#include <sys/resource.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/spdlog.h>
#include <spdlog/sinks/ringbuffer_sink.h>

namespace nettest {

// Owns one descriptor.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset();

private:
    int fd_ = -1;
};

// A TCP listener at a port the kernel picked, on [::1] unless told
// otherwise (a numeric IPv6 text, "%interface" allowed).
class Listener {
public:
    explicit Listener(int backlog = 8, const char* address = "::1");
    int port() const { return port_; }
    // Waits up to `limit` for one incoming connection.
    Fd accept_for(std::chrono::milliseconds limit);

private:
    Fd fd_;
    int port_ = 0;
};

// A port on [::1] that nothing listens on: bound once by us, then released.
int closed_port();

// A listener with backlog 0 that never accepts, filled until a new connect
// stays pending. Empty when the kernel completes every connect anyway.
class StalledListener {
public:
    static std::unique_ptr<StalledListener> make();
    int port() const { return listener_.port(); }

private:
    StalledListener() : listener_(0) {}
    Listener listener_;
    std::vector<Fd> fillers_;
};

// A logger at level trace whose messages stay in memory; bound as the
// client's logger for the guard's lifetime.
class RecordingLogger {
public:
    explicit RecordingLogger(spdlog::level::level_enum level = spdlog::level::trace);
    ~RecordingLogger();
    RecordingLogger(const RecordingLogger&) = delete;
    RecordingLogger& operator=(const RecordingLogger&) = delete;

    struct entry {
        spdlog::level::level_enum level;
        std::string text;
        bool operator==(const entry& other) const { return level == other.level && text == other.text; }
    };
    std::vector<entry> entries() const;

private:
    std::shared_ptr<spdlog::sinks::ringbuffer_sink_mt> sink_;
    std::shared_ptr<spdlog::logger> logger_;
};

std::ostream& operator<<(std::ostream& out, const RecordingLogger::entry& e);

// Descriptors open in this process right now.
std::size_t open_descriptor_count();

// Sets the soft RLIMIT_NOFILE for the guard's lifetime.
class SoftDescriptorLimit {
public:
    explicit SoftDescriptorLimit(rlim_t soft);
    ~SoftDescriptorLimit();
    SoftDescriptorLimit(const SoftDescriptorLimit&) = delete;
    SoftDescriptorLimit& operator=(const SoftDescriptorLimit&) = delete;
    bool ok() const { return ok_; }

private:
    rlimit saved_{};
    bool ok_ = false;
};


// Raises SIGALRM after `seconds` so that a call that should have been bounded
// by the client's own time-outs fails with EINTR instead of hanging the test.
class AlarmGuard {
public:
    explicit AlarmGuard(unsigned seconds);
    ~AlarmGuard();
    AlarmGuard(const AlarmGuard&) = delete;
    AlarmGuard& operator=(const AlarmGuard&) = delete;

private:
    struct sigaction previous_ {};
};

template <typename F>
double seconds_taken(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    std::forward<F>(f)();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `body` in a child process, inside a fresh private network namespace
// (only its own loopback, down) when `own_network` is set. The body returns
// "" on success or a description of what went wrong. The result is nullopt
// when the machine does not allow the namespace (not root, no
// CAP_SYS_ADMIN, seccomp), so the caller can skip.
std::optional<std::string> run_in_child(const std::function<std::string()>& body, bool own_network,
                                        std::chrono::seconds limit = std::chrono::seconds(20));

// The gtest side of run_in_child: gtest assertions made in the child print
// their failures there; the test fails when any did, and is skipped when the
// child could not be set up.
void run_isolated(const std::function<void()>& body, bool own_network);

// System calls that a child process can make fail on purpose, with the errno
// given, to reach the client's failure paths. Irreversible: children only.
enum class failing_call {
    ipv6_socket,        // socket(AF_INET6, ...)
    netlink_socket,     // socket(AF_NETLINK, ...), which getifaddrs needs
    set_nonblocking,    // fcntl(F_SETFL) with O_NONBLOCK
    clear_nonblocking,  // fcntl(F_SETFL) without O_NONBLOCK
};
std::string make_fail(failing_call call, int error);

// For the staging helpers that return "" or a problem.
#define ASSERT_STAGED(step)                  \
    do {                                     \
        const std::string problem_ = (step); \
        ASSERT_EQ(problem_, "") << #step;    \
    } while (0)

// Inside a private namespace: bring the loopback up / add an IPv6 address to
// it. Return "" or the failure.
std::string bring_loopback_up();
std::string add_loopback_address(const char* address);

}  // namespace nettest
