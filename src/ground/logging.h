// The library's loggers: its own "palvex_api" on standard error, created at
// load, and the current one a host may bind instead.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

#include <spdlog/spdlog.h>

namespace palvex {

// The library's own logger; never replaced.
spdlog::logger* own_logger();

// Where messages go: the bound logger, or the library's own one while none
// has been bound yet.
spdlog::logger* current_logger();

// Binds `log`, or the library's own logger when `log` is null.
void bind_logger(spdlog::logger* log);

// The bound logger as it stands (null until the first binding).
spdlog::logger* bound_logger();

template <typename... Args>
void log_at(spdlog::level::level_enum level, spdlog::format_string_t<Args...> fmt, Args&&... args) {
    current_logger()->log(level, fmt, std::forward<Args>(args)...);
}
template <typename... Args>
void log_info(spdlog::format_string_t<Args...> fmt, Args&&... args) {
    log_at(spdlog::level::info, fmt, std::forward<Args>(args)...);
}
template <typename... Args>
void log_warn(spdlog::format_string_t<Args...> fmt, Args&&... args) {
    log_at(spdlog::level::warn, fmt, std::forward<Args>(args)...);
}
template <typename... Args>
void log_error(spdlog::format_string_t<Args...> fmt, Args&&... args) {
    log_at(spdlog::level::err, fmt, std::forward<Args>(args)...);
}

}  // namespace palvex
