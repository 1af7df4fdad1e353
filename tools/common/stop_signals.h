// SIGINT and SIGTERM as a tool's stop request (POSIX).
#pragma once

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <chrono>

namespace palvex_tools {

// SIGINT and SIGTERM are blocked in every thread (create this before
// starting any) and taken synchronously by wait(), so no handler runs inside
// library or hub code and a stop request is seen at a known point.
class StopSignals {
public:
    StopSignals() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    }
    // Waits up to `timeout`; returns the signal taken, or 0.
    int wait(std::chrono::milliseconds timeout) {
        timespec ts{static_cast<time_t>(timeout.count() / 1000), static_cast<long>(timeout.count() % 1000) * 1000000L};
        siginfo_t info{};
        const int s = sigtimedwait(&set_, &info, &ts);
        if (s > 0) received_ = s;
        return s > 0 ? s : 0;
    }
    int received() const { return received_; }

private:
    sigset_t set_{};
    int received_ = 0;
};

}  // namespace palvex_tools
