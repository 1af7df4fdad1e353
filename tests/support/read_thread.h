// corvel_read_thread on a thread of its own, as a host runs it, and whether
// it has returned. A host that stops and starts runs it again after it
// returned. Ending the object releases the hub and joins the thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "palvex/palvex.h"

namespace palvex_test {

class ReadThread {
public:
    void start() {
        if (thread_.joinable()) thread_.join();  // the last run has returned (or the host waits for it here)
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = false;
        }
        thread_ = std::thread([this] {
            corvel_read_thread();
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
            cv_.notify_all();
        });
    }
    bool wait_returned(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return done_; });
    }
    ~ReadThread() {
        if (!thread_.joinable()) return;
        corvel_release();
        thread_.join();
    }

private:
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
};

}  // namespace palvex_test
