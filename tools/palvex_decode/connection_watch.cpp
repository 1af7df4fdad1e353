#include "connection_watch.h"

#include <algorithm>
#include <cstdio>

#include "palvex/palvex.h"

namespace palvex_tools {

ConnectionWatch::ConnectionWatch() { corvel_get_connection_state(nullptr, &reconnections_); }

void ConnectionWatch::look(Clock::time_point now) {
    std::int32_t state = PALVEX_HUB_NOT_OPENED;
    std::uint32_t reconnections = 0;
    corvel_get_connection_state(&state, &reconnections);
    // The count first: the loop may have connected again and lost the new
    // connection since the last look.
    for (; reconnections_ != reconnections; ++reconnections_) {
        lasted_.push_back(in_outage_ ? now - began_ : Clock::duration::zero());
        in_outage_ = false;
    }
    if (state == PALVEX_HUB_RECONNECTING && !in_outage_) {
        in_outage_ = true;
        began_ = now;
    }
}

std::string ConnectionWatch::summary(Clock::time_point now) const {
    if (outages() == 0) return {};
    std::vector<Clock::duration> all = lasted_;
    if (in_outage_) all.push_back(now - began_);
    Clock::duration total{};
    for (const auto d : all) total += d;
    const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    char text[160];
    std::snprintf(text, sizeof text, "hub connection lost %zu time%s, %.1f s in all (longest %.1f s)%s", all.size(),
                  all.size() == 1 ? "" : "s", seconds(total), seconds(*std::max_element(all.begin(), all.end())),
                  in_outage_ ? "; not connected again by the end" : "");
    return text;
}

}  // namespace palvex_tools
