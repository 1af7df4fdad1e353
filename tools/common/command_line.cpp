#include "command_line.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace palvex_tools {

double parse_double(const std::string& option, const std::string& text, double min, double max) {
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !(v >= min && v <= max))
        throw UsageError(option + " wants a number from " + std::to_string(min) + " to " + std::to_string(max) +
                         ", not '" + text + "'");
    return v;
}

std::uint64_t parse_count(const std::string& option, const std::string& text, std::uint64_t min, std::uint64_t max) {
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || v < min || v > max)
        throw UsageError(option + " wants a whole number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", not '" + text + "'");
    return v;
}

bool Arguments::next() {
    if (at_ + 1 >= argc_) return false;
    name_ = argv_[++at_];
    return true;
}

std::string Arguments::value() {
    if (at_ + 1 >= argc_) throw UsageError(name_ + " needs a value");
    return argv_[++at_];
}

}  // namespace palvex_tools
