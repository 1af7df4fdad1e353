// Small pieces the command-line tools share: option values, family names,
// shortest round-trip number text and waiting for SIGINT/SIGTERM.
#pragma once

#include <signal.h>
#include <time.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "palvex/palvex.h"

namespace palvex_tools {

// A wrong command line: the tools print it with a hint to --help and exit 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Anything else that stops a tool: one line on stderr, exit 1.
struct ToolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline double parse_double(const std::string& option, const std::string& text, double min, double max) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !(v >= min && v <= max))
        throw UsageError(option + " wants a number from " + std::to_string(min) + " to " + std::to_string(max) +
                         ", not '" + text + "'");
    return v;
}

inline std::uint64_t parse_count(const std::string& option, const std::string& text, std::uint64_t min,
                                 std::uint64_t max) {
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v < min || v > max)
        throw UsageError(option + " wants a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + text + "'");
    return v;
}

inline const char* family_name(int family) {
    switch (family) {
        case WUA2: return "WUA2";
        case MES_2: return "MES_2";
        case IMP_3: return "IMP_3";
        case MES_4: return "MES_4";
        case MES_5: return "MES_5";
    }
    return "?";
}

// Accepts the enumerator names in any letter case; 0 when there is none.
inline int family_from_name(std::string name) {
    for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    for (int f = WUA2; f <= MES_5; ++f)
        if (name == family_name(f)) return f;
    return 0;
}

// The family a received buffer belongs to, as the library tells them apart:
// 216 bytes is WUA2, otherwise the little-endian type word in front.
inline int family_of_buffer(const unsigned char* data, std::size_t length) {
    if (length == 216) return WUA2;
    if (length < 2) return 0;
    const int type = data[0] | (data[1] << 8);
    return type >= MES_2 && type <= MES_5 ? type : 0;
}

// The shortest text that reads back as the same double.
inline std::size_t format_number(char* out, std::size_t room, double v) {
    const auto [end, ec] = std::to_chars(out, out + room, v);
    return ec == std::errc() ? static_cast<std::size_t>(end - out) : 0;
}

// SIGINT and SIGTERM are blocked in every thread (call this before starting
// any) and taken synchronously by wait(), so no handler runs inside library
// or hub code and a stop request is seen at a known point.
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
