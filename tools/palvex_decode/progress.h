// Progress on standard error, only when a person is looking at it (POSIX).
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace palvex_tools {

class Progress {
public:
    Progress() : tty_(isatty(STDERR_FILENO) == 1) {}
    bool active() const { return tty_; }
    // At most ten updates a second.
    void show(const std::string& text) {
        if (!tty_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
        shown_ = true;
    }
    // Call before printing a line of its own.
    void clear() {
        if (shown_) std::fprintf(stderr, "\r\033[K");
        shown_ = false;
    }

private:
    bool tty_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace palvex_tools
