// The one place decoders are made, for the single-board slot and for each
// hub board's slot alike.
#pragma once

#include <cstddef>
#include <memory>

#include "packets/packet_base.h"

namespace palvex {

// A decoder slot. Shared ownership lets the hub hand a decoder to a reader
// on another thread while the slot is being replaced.
using DecoderSlot = std::shared_ptr<PacketBase>;

// Selects, keeps or creates the decoder for `buffer` in `slot`:
//  -2  5-byte configuration confirmation (the slot is not looked at)
//  -1  type word 0 (nothing created)
//   0  the slot holds the decoder for the buffer
//   6  the descriptor cannot make a decoder (logged once per descriptor);
//      the slot keeps what it held
//  11  unknown type word, or too short to hold one
// A decoder of another family in the slot is replaced; it is destroyed once
// the last reader lets go of it.
// A decoder of `type` made from `descriptor`, with nothing else set. Throws
// DescriptorError when the descriptor cannot make one at all.
DecoderSlot make_decoder(COMM_TYPE type, const nlohmann::json& descriptor, data_callback_fn callback);

int init_data_handler_fn(const unsigned char* buffer, std::size_t length, data_callback_fn callback,
                         void* host_context, DecoderSlot& slot, const char* stream_name = nullptr);

}  // namespace palvex
