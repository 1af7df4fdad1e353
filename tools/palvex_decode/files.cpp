#include "files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capture.h"
#include "command_line.h"

namespace palvex_tools {

void check_can_create(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) throw ToolError("cannot write " + path + ": " + std::strerror(EISDIR));
    if (::access(exists ? path.c_str() : dir.c_str(), W_OK) != 0)
        throw ToolError("cannot write " + path + ": " + std::strerror(errno));
}

CaptureInput::CaptureInput(const std::string& path, StopSignals& signals)
    : path_(path), name_(path == "-" ? "standard input" : path) {
    if (path == "-") {
        copy(STDIN_FILENO, signals);
        return;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw palvex_test::CaptureError("cannot read capture " + path + ": " + std::strerror(errno));
    if (S_ISREG(st.st_mode)) {
        size_ = static_cast<std::uint64_t>(st.st_size);
        // Readable at all: the reason is told here, the capture reader has none to tell.
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) throw palvex_test::CaptureError("cannot read capture " + path + ": " + std::strerror(errno));
        ::close(fd);
        return;
    }
    if (S_ISDIR(st.st_mode)) throw palvex_test::CaptureError("cannot read capture " + path + ": " + std::strerror(EISDIR));
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw palvex_test::CaptureError("cannot read capture " + path + ": " + std::strerror(errno));
    try {
        copy(fd, signals);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
}

CaptureInput::~CaptureInput() {
    if (copy_fd_ >= 0) ::close(copy_fd_);
}

void CaptureInput::copy(int from, StopSignals& signals) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/palvex-decode-XXXXXX";
    copy_fd_ = ::mkstemp(pattern.data());
    if (copy_fd_ < 0) throw ToolError("cannot copy " + name_ + " to " + pattern + ": " + std::strerror(errno));
    // Unlinked at once: the copy goes when the process does, however it ends.
    ::unlink(pattern.c_str());
    path_ = "/proc/self/fd/" + std::to_string(copy_fd_);
    std::vector<char> buffer(1 << 16);
    for (;;) {
        // Waiting in slices keeps a stop request answered while the writer
        // of a pipe is silent.
        pollfd p{from, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (signals.wait(std::chrono::milliseconds(0))) {
            stopped_ = true;
            return;
        }
        if (ready < 0 && errno != EINTR) throw palvex_test::CaptureError("cannot read " + name_ + ": " + std::strerror(errno));
        if (ready <= 0) continue;
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n == 0) return;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            throw palvex_test::CaptureError("cannot read " + name_ + ": " + std::strerror(errno));
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(copy_fd_, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) throw ToolError("cannot copy " + name_ + " to " + pattern + ": " + std::strerror(errno));
            done += w;
        }
        size_ += static_cast<std::uint64_t>(n);
    }
}

}  // namespace palvex_tools
