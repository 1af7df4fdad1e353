// The single-board path behind the exports: decode buffers the host received
// itself, and send commands back through its write callback.
#pragma once

#include <cstddef>
#include <cstdint>

#include "palvex/palvex.h"

namespace palvex {

std::int32_t interpret_buffer(const unsigned char* buffer, std::size_t length,
                              data_callback_fn callback, void* host_context);
std::int32_t release_decoder();
std::int32_t write_command(const unsigned char* command, std::size_t length,
                           write_callback_fn callback, void* host_context);

}  // namespace palvex
