// The C ABI wall: every export runs its body through guarded(), so no C++
// exception ever reaches the host. A failure is logged once through the
// current logger and the export returns its documented code.
#pragma once

#include <exception>
#include <type_traits>

#include "ground/logging.h"

namespace palvex {

inline void report_failure(const char* what, const char* why) noexcept {
    try {
        log_error("{} failed: {}", what, why);
    } catch (...) {
        // Nothing is left to report through.
    }
}

template <class R, class F>
R guarded(const char* what, R on_error, F&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& e) {
        report_failure(what, e.what());
    } catch (...) {
        report_failure(what, "unknown error");
    }
    return on_error;
}

template <class F>
void guarded(const char* what, F&& body) noexcept {
    try {
        body();
    } catch (const std::exception& e) {
        report_failure(what, e.what());
    } catch (...) {
        report_failure(what, "unknown error");
    }
}

}  // namespace palvex
