// What a received buffer of each family looks like from outside: the packet
// size behind the type word, and the whole buffer's length. The decoders
// check packets against these; the hub uses them to tell a chunk header
// from payload bytes when it has to find the chunk boundaries again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "palvex/palvex.h"

namespace palvex {

constexpr std::size_t type_word_length = 2;   // in front of every packet but WUA2's
constexpr std::size_t config_packet_length = 5;

constexpr int packet_size_of(COMM_TYPE family) {
    switch (family) {
        case WUA2: return 216;
        case MES_2: return 73;
        case IMP_3: return 89;
        case MES_4: return 75;
        case MES_5: return 79;
    }
    return 0;
}

constexpr std::size_t buffer_length_of(COMM_TYPE family) {
    return static_cast<std::size_t>(packet_size_of(family)) + (family == WUA2 ? 0 : type_word_length);
}

// The family with a type word whose buffers are `length` bytes long, or 0.
constexpr int typed_family_of_length(std::int64_t length) {
    for (const COMM_TYPE f : {MES_2, IMP_3, MES_4, MES_5})
        if (static_cast<std::int64_t>(buffer_length_of(f)) == length) return f;
    return 0;
}

}  // namespace palvex
