#include "start_time.h"

#include <time.h>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "command_line.h"

namespace palvex_tools {

StartTime StartTime::at(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const auto since = duration_cast<microseconds>(when.time_since_epoch()).count();
    const time_t seconds = static_cast<time_t>(since / 1000000);
    tm local{};
    localtime_r(&seconds, &local);
    StartTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = std::min(local.tm_sec, 59);  // a leap second is the second before
    t.subsecond = static_cast<int>(since % 1000000 / 100) * 1000;
    return t;
}

StartTime parse_start_time(const std::string& option, const std::string& text) {
    const auto bad = [&] {
        return UsageError(option + " wants a local date and time YYYY-MM-DDTHH:MM:SS[.fff] from 1985 to 2084, not '" +
                          text + "'");
    };
    // Fixed positions: "2024-05-01T13:45:00", then an optional fraction.
    const char* shape = "dddd-dd-ddTdd:dd:dd";
    if (text.size() < 19) throw bad();
    for (std::size_t i = 0; i < 19; ++i) {
        const char want = shape[i], c = text[i];
        if (want == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : want == 'T' ? (c != 'T' && c != ' ') : c != want)
            throw bad();
    }
    const auto number = [&](std::size_t at, std::size_t n) { return std::stoi(text.substr(at, n)); };
    StartTime t;
    t.year = number(0, 4);
    t.month = number(5, 2);
    t.day = number(8, 2);
    t.hour = number(11, 2);
    t.minute = number(14, 2);
    t.second = number(17, 2);
    if (text.size() > 19) {
        if (text[19] != '.' || text.size() == 20 || text.size() > 27) throw bad();
        for (std::size_t i = 20; i < text.size(); ++i)
            if (!std::isdigit(static_cast<unsigned char>(text[i]))) throw bad();
        t.subsecond = static_cast<int>(std::lround(std::stod("0" + text.substr(19)) * 1e7));
        if (t.subsecond > 9999999) throw bad();
    }
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = t.year % 4 == 0;  // 2000 is one, and 1900 and 2100 lie outside
    if (t.year < 1985 || t.year > 2084 || t.month < 1 || t.month > 12 || t.day < 1 ||
        t.day > days[t.month - 1] + (t.month == 2 && leap) || t.hour > 23 || t.minute > 59 || t.second > 59)
        throw bad();
    return t;
}

}  // namespace palvex_tools
