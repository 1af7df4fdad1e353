// When a recording's first sample was taken, as a BDF+ header holds it:
// local date and time to the second, and the fraction of that second.
#pragma once

#include <chrono>
#include <string>

namespace palvex_tools {

struct StartTime {
    int year = 1985, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    int subsecond = 0;  // units of 100 ns

    // The consensus for a clock nobody knows (EDF's own date 1985-01-01
    // 00:00:00): a capture's bytes carry no clock.
    static StartTime unknown() { return {}; }
    // The local time of `when`, to 100 us.
    static StartTime at(std::chrono::system_clock::time_point when);
};

// "YYYY-MM-DDTHH:MM:SS" with an optional fraction of a second (a space may
// stand for the T), a date the header can hold (1985 to 2084). Throws
// UsageError naming `option`.
StartTime parse_start_time(const std::string& option, const std::string& text);

}  // namespace palvex_tools
