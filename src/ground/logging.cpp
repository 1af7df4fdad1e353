#include "ground/logging.h"

#include <spdlog/sinks/stdout_sinks.h>

namespace palvex {
namespace {

constexpr const char* own_logger_name = "palvex_api";

std::shared_ptr<spdlog::logger> make_own_logger() {
    try {
        return spdlog::stderr_logger_mt(own_logger_name);
    } catch (...) {
        // The name is taken in the registry (the host made one, or a second
        // copy of the library is loaded): keep an unregistered twin.
        return std::make_shared<spdlog::logger>(own_logger_name,
                                                std::make_shared<spdlog::sinks::stderr_sink_mt>());
    }
}

// Created at load, before any export can run, and never freed: a hub read
// loop may still log while a host that returned from main runs the static
// destructors. Only the registry's entry goes at unload, so that a reloaded
// library can register its name again.
const std::shared_ptr<spdlog::logger>& global_logger = *new std::shared_ptr<spdlog::logger>(make_own_logger());

struct RegistryEntry {
    ~RegistryEntry() {
        try {
            if (spdlog::get(own_logger_name) == global_logger) spdlog::drop(own_logger_name);
        } catch (...) {
        }
    }
};
RegistryEntry registry_entry;

std::atomic<spdlog::logger*> spdlog_logger{nullptr};

}  // namespace

spdlog::logger* own_logger() { return global_logger.get(); }

spdlog::logger* current_logger() {
    spdlog::logger* bound = spdlog_logger.load(std::memory_order_acquire);
    return bound != nullptr ? bound : own_logger();
}

void bind_logger(spdlog::logger* log) {
    spdlog_logger.store(log != nullptr ? log : own_logger(), std::memory_order_release);
}

spdlog::logger* bound_logger() { return spdlog_logger.load(std::memory_order_acquire); }

}  // namespace palvex
