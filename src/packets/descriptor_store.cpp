#include "packets/descriptor_store.h"

#include <atomic>
#include <mutex>

namespace palvex {
namespace {

// The descriptor is read by the hub read loop when it makes a decoder, on a
// thread of the host's; the mutex keeps a concurrent set_board_json from
// tearing it. Decoding itself never reads it.
// Never freed, like the hub's state: a read loop still running while a host
// exits makes decoders from it after the static destructors have run.
struct Store {
    std::mutex mutex;
    std::shared_ptr<const Descriptor> board_descr;
    std::atomic<bool> is_set{false};
    std::uint64_t generation = 0;
};
Store& store = *new Store;

}  // namespace

void set_descriptor_text(const char* text) {
    nlohmann::json parsed = nlohmann::json::parse(text != nullptr ? text : "");
    const bool is_set = !(parsed == 0);
    std::lock_guard<std::mutex> lock(store.mutex);
    store.board_descr = is_set ? std::make_shared<const Descriptor>(
                                     Descriptor{std::move(parsed), ++store.generation})
                               : nullptr;
    store.is_set.store(is_set);
}

std::shared_ptr<const Descriptor> current_descriptor() {
    std::lock_guard<std::mutex> lock(store.mutex);
    return store.board_descr;
}

bool descriptor_is_set() { return store.is_set.load(); }

}  // namespace palvex
