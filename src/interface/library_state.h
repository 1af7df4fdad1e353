// Process-wide state of the single-board path: the board descriptor that
// every new decoder is made from, and the single-board decoder.
#pragma once

#include <cstdint>
#include <memory>

#include <nlohmann/json.hpp>

#include "packets/packet_base.h"

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

// A decoder slot. Shared ownership lets the hub hand a decoder to a reader
// on another thread while the slot is being replaced.
using DecoderSlot = std::shared_ptr<PacketBase>;

DecoderSlot& single_board_decoder();

}  // namespace palvex
