#include "library_log.h"

#include <cstdio>
#include <mutex>
#include <vector>

#include <spdlog/sinks/base_sink.h>

namespace palvex_tools {
namespace {

// "connect() failed: Connection refused" says "Connection refused".
std::string reason_of(const spdlog::details::log_msg& msg) {
    std::string text(msg.payload.data(), msg.payload.size());
    const auto lead = text.find("failed: ");
    if (lead != std::string::npos) text.erase(0, lead + 8);
    return text;
}

}  // namespace

class LibraryLog::Sink : public spdlog::sinks::base_sink<std::mutex> {
public:
    explicit Sink(bool verbose) : verbose_(verbose) {}

    void hold() {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = true;
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& line : held_) std::fputs(line.c_str(), stderr);
        clear();
        holding_ = false;
    }
    void forget() {
        std::lock_guard<std::mutex> lock(mutex_);
        clear();
    }
    std::string first(bool errors_only) {
        std::lock_guard<std::mutex> lock(mutex_);
        return errors_only ? first_error_ : first_problem_;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        spdlog::memory_buf_t line;
        formatter_->format(msg, line);
        if (verbose_ || !holding_) {
            std::fwrite(line.data(), 1, line.size(), stderr);
            if (!holding_) return;
        }
        if (msg.level >= spdlog::level::err && first_error_.empty()) first_error_ = reason_of(msg);
        if (msg.level >= spdlog::level::warn && first_problem_.empty()) first_problem_ = reason_of(msg);
        if (!verbose_ && held_.size() < 100) held_.emplace_back(line.data(), line.size());
    }
    void flush_() override { std::fflush(stderr); }

private:
    void clear() {
        held_.clear();
        first_error_.clear();
        first_problem_.clear();
    }

    const bool verbose_;
    bool holding_ = false;
    std::vector<std::string> held_;
    std::string first_error_, first_problem_;
};

LibraryLog::LibraryLog(bool verbose)
    : sink_(std::make_shared<Sink>(verbose)), logger_(std::make_shared<spdlog::logger>("palvex-decode", sink_)) {
    // Info lines (each connection attempt, each greeting) only with --verbose.
    logger_->set_level(verbose ? spdlog::level::info : spdlog::level::warn);
}

void LibraryLog::hold() { sink_->hold(); }
void LibraryLog::release() { sink_->release(); }
void LibraryLog::forget() { sink_->forget(); }
std::string LibraryLog::first_error() const { return sink_->first(true); }
std::string LibraryLog::first_problem() const { return sink_->first(false); }

}  // namespace palvex_tools
