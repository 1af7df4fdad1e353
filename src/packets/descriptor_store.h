// The board descriptor every new decoder is made from, set by the host with
// set_board_json. The single-board path and the hub read loop both make
// decoders from it, on different threads.
#pragma once

#include <cstdint>
#include <memory>

#include <nlohmann/json.hpp>

namespace palvex {

struct Descriptor {
    nlohmann::json value;
    std::uint64_t generation;  // counts set_board_json calls, so refusals are logged once per text
};

// Parses `text` strictly (exactly one JSON value); throws the parser's error
// and keeps the previous descriptor when it does not parse.
void set_descriptor_text(const char* text);

// The current descriptor, or null while none is set (the number 0 means
// "not set", as at load).
std::shared_ptr<const Descriptor> current_descriptor();
bool descriptor_is_set();

}  // namespace palvex
