// Outages on purpose: corvel-sim drops the host's connection a while after
// each greeting and then, for a while, takes no new one (its listener
// closed, so connection attempts are refused by the system), as a hub does
// that reboots or loses its link. The boards go on counting meanwhile; what
// they make while no host is connected is sent to nobody (boards.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>

#include "boards.h"
#include "fake_hub.h"

namespace corvel_sim {

struct DropSpec {
    double every = 0;   // seconds from a greeting to the drop; 0: never
    double outage = 0;  // seconds after a drop during which connections are refused
};

class Drops {
public:
    Drops(palvex_test::FakeHub& hub, DropSpec spec) : hub_(hub), spec_(spec) {}

    // Once per turn of the simulator's loop; `greeted` when a new session
    // began since the last turn. Drops the session that is due and opens
    // the listener again once the outage is over; prints a line for each.
    void turn(Clock::time_point now, bool greeted);
    std::size_t count() const { return drops_; }

private:
    palvex_test::FakeHub& hub_;
    DropSpec spec_;
    std::optional<Clock::time_point> drop_at_, listen_at_;
    std::size_t drops_ = 0;
};

}  // namespace corvel_sim
