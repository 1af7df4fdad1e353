#include "packets/descriptor_store.h"

#include <atomic>
#include <mutex>

namespace palvex {
namespace {

// The descriptor is read by the hub read loop when it makes a decoder, on a
// thread of the host's; the mutex keeps a concurrent set_board_json from
// tearing it. Decoding itself never reads it.
std::mutex descriptor_mutex;
std::shared_ptr<const Descriptor> board_descr;
std::atomic<bool> board_descr_set{false};
std::uint64_t descriptor_generation = 0;

}  // namespace

void set_descriptor_text(const char* text) {
    nlohmann::json parsed = nlohmann::json::parse(text != nullptr ? text : "");
    const bool is_set = !(parsed == 0);
    std::lock_guard<std::mutex> lock(descriptor_mutex);
    board_descr = is_set ? std::make_shared<const Descriptor>(
                               Descriptor{std::move(parsed), ++descriptor_generation})
                         : nullptr;
    board_descr_set.store(is_set);
}

std::shared_ptr<const Descriptor> current_descriptor() {
    std::lock_guard<std::mutex> lock(descriptor_mutex);
    return board_descr;
}

bool descriptor_is_set() { return board_descr_set.load(); }

}  // namespace palvex
