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
    check_value_taken();
    if (at_ + 1 >= argc_) return false;
    name_ = argv_[++at_];
    joined_.reset();
    const auto equals = name_.find('=');
    if (name_.rfind("--", 0) == 0 && equals != std::string::npos) {
        joined_ = name_.substr(equals + 1);
        name_.erase(equals);
    }
    return true;
}

std::string Arguments::value() {
    if (joined_) {
        std::string v = std::move(*joined_);
        joined_.reset();
        return v;
    }
    if (at_ + 1 >= argc_) throw UsageError(name_ + " needs a value");
    return argv_[++at_];
}

void Arguments::check_value_taken() const {
    if (joined_) throw UsageError(name_ + " takes no value, not '" + *joined_ + "'");
}

std::string version_line(const char* tool) { return std::string(tool) + " (PalvexWrapper) " PALVEX_VERSION; }

}  // namespace palvex_tools
