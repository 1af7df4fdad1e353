// The hub connection as palvex-decode sees it from its own thread: the
// library reconnects on its own after an outage, and its session state
// (corvel_get_connection_state) tells when it is connected. Looked at a few
// hundred times a second, which times each outage to a few milliseconds;
// an outage shorter than a look is still counted, by the library's count
// of reconnections.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace palvex_tools {

class ConnectionWatch {
public:
    using Clock = std::chrono::steady_clock;

    // Counts from the library's reconnections so far.
    ConnectionWatch();

    // One look at the session, at `now`.
    void look(Clock::time_point now);
    bool reconnecting() const { return in_outage_; }

    // Outages so far: those the library recovered from, and one going on.
    std::size_t outages() const { return lasted_.size() + (in_outage_ ? 1 : 0); }
    // "hub connection lost 2 times, 1.4 s in all (longest 0.7 s)", or empty
    // when it never was; an outage still going on at `now` counts up to it.
    std::string summary(Clock::time_point now) const;

private:
    std::uint32_t reconnections_ = 0;
    bool in_outage_ = false;
    Clock::time_point began_{};
    std::vector<Clock::duration> lasted_;
};

}  // namespace palvex_tools
