#include "loopback.h"

#include <dirent.h>
#include <netdb.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <ostream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "net/socket_client_tcp6.h"

namespace nettest {

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_in6 loopback_address(int port) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

int bound_port(int fd) {
    sockaddr_in6 address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail("getsockname");
    return ntohs(address.sin6_port);
}

sockaddr_in6 numeric_address(const char* text) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_family = AF_INET6;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(text, "0", &hints, &found) != 0) throw std::runtime_error(std::string("not numeric: ") + text);
    sockaddr_in6 address{};
    std::memcpy(&address, found->ai_addr, sizeof address);
    ::freeaddrinfo(found);
    return address;
}

Fd bound_socket(const char* text = "::1") {
    Fd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) fail("socket");
    const int one = 1;
    ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    const sockaddr_in6 address = numeric_address(text);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        fail(std::string("bind [") + text + "]:0");
    }
    return fd;
}

const char skip_marker[] = "\x01skip";

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void Fd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Listener::Listener(int backlog, const char* address) : fd_(bound_socket(address)) {
    if (::listen(fd_.get(), backlog) != 0) fail("listen");
    port_ = bound_port(fd_.get());
}

Fd Listener::accept_for(std::chrono::milliseconds limit) {
    pollfd entry{fd_.get(), POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(limit.count())) != 1) return Fd{};
    return Fd(::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

int closed_port() {
    Fd fd = bound_socket();
    return bound_port(fd.get());
}

std::unique_ptr<StalledListener> StalledListener::make() {
    std::unique_ptr<StalledListener> stalled(new StalledListener());
    const sockaddr_in6 address = loopback_address(stalled->port());
    // With backlog 0 the kernel queues one completed connection and then
    // drops further SYNs while nobody accepts; the client side stays in
    // SYN-SENT, retrying. Probe until one connect really stays pending.
    for (int attempt = 0; attempt < 16; ++attempt) {
        Fd probe(::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!probe.valid()) fail("socket");
        if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
            errno != EINPROGRESS) {
            fail("connect to the stalled listener");
        }
        pollfd entry{probe.get(), POLLOUT, 0};
        const bool pending = ::poll(&entry, 1, 300) == 0;
        stalled->fillers_.push_back(std::move(probe));
        if (pending) return stalled;
    }
    return nullptr;
}

RecordingLogger::RecordingLogger(spdlog::level::level_enum level)
    : sink_(std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(256)),
      logger_(std::make_shared<spdlog::logger>("net_test", sink_)) {
    logger_->set_level(level);
    SocketClientTCP6::logger = logger_.get();
}

RecordingLogger::~RecordingLogger() { SocketClientTCP6::logger = nullptr; }

std::vector<RecordingLogger::entry> RecordingLogger::entries() const {
    std::vector<entry> out;
    for (const auto& message : sink_->last_raw()) {
        out.push_back({message.level, std::string(message.payload.data(), message.payload.size())});
    }
    return out;
}

std::ostream& operator<<(std::ostream& out, const RecordingLogger::entry& e) {
    const auto name = spdlog::level::to_string_view(e.level);
    return out << "[" << std::string(name.data(), name.size()) << "] " << e.text;
}

std::size_t open_descriptor_count() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) fail("opendir /proc/self/fd");
    std::size_t count = 0;
    while (const dirent* item = ::readdir(dir)) {
        if (item->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

SoftDescriptorLimit::SoftDescriptorLimit(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit changed = saved_;
    changed.rlim_cur = soft;
    ok_ = ::setrlimit(RLIMIT_NOFILE, &changed) == 0;
}

SoftDescriptorLimit::~SoftDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

namespace {
void ignore_alarm(int) {}
}  // namespace

AlarmGuard::AlarmGuard(unsigned seconds) {
    struct sigaction action {};
    action.sa_handler = ignore_alarm;  // no SA_RESTART: the blocked call returns EINTR
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGALRM, &action, &previous_);
    ::alarm(seconds);
}

AlarmGuard::~AlarmGuard() {
    ::alarm(0);
    ::sigaction(SIGALRM, &previous_, nullptr);
}

std::optional<std::string> run_in_child(const std::function<std::string()>& body, bool own_network,
                                        std::chrono::seconds limit) {
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) fail("pipe2");
    const pid_t child = ::fork();
    if (child < 0) fail("fork");
    if (child == 0) {
        ::close(channel[0]);
        // The child must never return into the test runner: it would go on
        // to run the remaining tests a second time.
        std::string outcome;
        try {
            outcome = !own_network || ::unshare(CLONE_NEWNET) == 0 ? body() : std::string(skip_marker);
        } catch (const std::exception& e) {
            outcome = std::string("exception in the namespace child: ") + e.what();
        } catch (...) {
            outcome = "unknown exception in the namespace child";
        }
        std::fflush(stdout);
        std::size_t written = 0;
        while (written < outcome.size()) {
            const ssize_t n = ::write(channel[1], outcome.data() + written, outcome.size() - written);
            if (n <= 0) break;
            written += static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(channel[1]);
    Fd reader(channel[0]);

    std::string outcome;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool finished = false;
    while (!finished) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd entry{reader.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[512];
        const ssize_t n = ::read(reader.get(), chunk, sizeof chunk);
        if (n <= 0) {
            finished = true;
        } else {
            outcome.append(chunk, static_cast<std::size_t>(n));
        }
    }
    if (!finished) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        return "the namespace child did not finish in time";
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return "the namespace child ended abnormally (status " + std::to_string(status) + ")";
    }
    if (outcome == skip_marker) return std::nullopt;
    return outcome;
}

void run_isolated(const std::function<void()>& body, bool own_network) {
    const std::optional<std::string> outcome = run_in_child(
        [&] {
            body();
            std::fflush(stdout);
            return testing::Test::HasFailure() ? "assertions failed in the child process (printed above)" : "";
        },
        own_network);
    if (!outcome) GTEST_SKIP() << "this machine does not let the test create a network namespace";
    EXPECT_EQ(*outcome, "");
}

namespace {

struct condition {
    unsigned argument;
    std::uint32_t mask;
    std::uint32_t value;
};

// A seccomp filter that fails one system call, when all conditions on its
// arguments (low 32 bits) hold, and lets everything else through.
std::vector<sock_filter> failing_filter(long number, const std::vector<condition>& conditions, int error) {
    std::vector<sock_filter> program;
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0));
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    // Every mismatch jumps to the final "allow"; offsets are patched below.
    std::vector<std::size_t> to_allow;
    to_allow.push_back(program.size());
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number), 0, 0));
    for (const condition& c : conditions) {
        program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                                   static_cast<std::uint32_t>(offsetof(seccomp_data, args) + 8 * c.argument)));
        program.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, c.mask));
        to_allow.push_back(program.size());
        program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, c.value, 0, 0));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<std::uint32_t>(error) & SECCOMP_RET_DATA)));
    const std::size_t allow = program.size();
    program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    for (const std::size_t jump : to_allow) program[jump].jf = static_cast<std::uint8_t>(allow - jump - 1);
    return program;
}

}  // namespace

std::string make_fail(failing_call call, int error) {
    std::vector<sock_filter> program;
    switch (call) {
    case failing_call::ipv6_socket:
        program = failing_filter(SYS_socket, {{0, 0xFFFFFFFFu, AF_INET6}}, error);
        break;
    case failing_call::netlink_socket:
        program = failing_filter(SYS_socket, {{0, 0xFFFFFFFFu, AF_NETLINK}}, error);
        break;
    case failing_call::set_nonblocking:
        program = failing_filter(SYS_fcntl, {{1, 0xFFFFFFFFu, F_SETFL}, {2, O_NONBLOCK, O_NONBLOCK}}, error);
        break;
    case failing_call::clear_nonblocking:
        program = failing_filter(SYS_fcntl, {{1, 0xFFFFFFFFu, F_SETFL}, {2, O_NONBLOCK, 0}}, error);
        break;
    }
    sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return std::string("PR_SET_NO_NEW_PRIVS: ") + std::strerror(errno);
    if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        return std::string("PR_SET_SECCOMP: ") + std::strerror(errno);
    }
    return "";
}

std::string bring_loopback_up() {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(fd.get(), SIOCGIFFLAGS, &request) != 0) return std::string("SIOCGIFFLAGS: ") + std::strerror(errno);
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(fd.get(), SIOCSIFFLAGS, &request) != 0) return std::string("SIOCSIFFLAGS: ") + std::strerror(errno);
    return "";
}

std::string add_loopback_address(const char* text) {
    // The kernel's in6_ifreq, spelled out to stay clear of <linux/ipv6.h>.
    struct {
        in6_addr address;
        std::uint32_t prefix_length;
        int interface_index;
    } request{};
    if (::inet_pton(AF_INET6, text, &request.address) != 1) return std::string("bad address ") + text;
    request.prefix_length = 128;
    request.interface_index = static_cast<int>(::if_nametoindex("lo"));
    Fd fd(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (::ioctl(fd.get(), SIOCSIFADDR, &request) != 0) return std::string("SIOCSIFADDR: ") + std::strerror(errno);

    // A new address stays tentative (not bindable) until the kernel's
    // address worker has run, even where duplicate detection is off.
    char hex[33];
    for (int i = 0; i < 16; ++i) std::snprintf(hex + 2 * i, 3, "%02x", request.address.s6_addr[i]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream table("/proc/self/net/if_inet6");
        std::string address, index, prefix, scope, flags, name;
        while (table >> address >> index >> prefix >> scope >> flags >> name) {
            if (address == hex && (std::stoul(flags, nullptr, 16) & 0x40) == 0) return "";
        }
        ::usleep(10 * 1000);
    }
    return std::string("address ") + text + " stayed tentative";
}

}  // namespace nettest
