// A board descriptor compiled for one decoder: every column the decoder will
// write, as plain arrays, checked against the row length once, when the
// decoder is made. Decoding then touches no JSON.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "palvex/palvex.h"

namespace palvex {

// The descriptor cannot make a decoder at all (no usable "num_rows" or
// "package_num_channel", not an object): nothing is created.
struct DescriptorError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

template <std::size_t Width>
struct Columns {
    std::array<std::int32_t, Width> col{};
    std::size_t n = 0;  // entries in use: min(list length, Width)
};

// Column 29 of every delivered row is set to 1.0.
constexpr std::int32_t valid_row_column = 29;
constexpr std::int32_t no_column = -1;

struct Layout {
    std::int32_t num_rows = 0;
    std::int32_t package_num_channel = 0;  // where interpret writes the packet number
    std::vector<std::int32_t> framing_ppg; // set to -1.0 before each sample
    Columns<8> exg;
    Columns<3> accel;
    Columns<3> gyro;
    Columns<10> resistance;
    Columns<2> ppg;      // MES_4
    Columns<3> ppg_raw;  // MES_5
    std::int32_t battery = 0;
    std::array<std::int32_t, 4> other{};
    bool has_nibbles = false;  // "other_channels" holds more than 3 entries
    // "filler_channel", optional: 1.0 in filler rows, 0.0 in decoded rows,
    // so a host tells them apart by delivery rather than by value. A column
    // of its own: a family that writes it cannot be served.
    std::int32_t filler = no_column;
};

// The fields the decoder base reads first: the row length and the packet
// number column. Throws DescriptorError.
struct BaseFields {
    std::int32_t num_rows;
    std::int32_t package_num_channel;
};
BaseFields read_base_fields(const nlohmann::json& descriptor);

// Fills `layout` with what `family` reads. Returns an empty text when the
// family can decode with the descriptor, else why it cannot.
std::string compile_layout(COMM_TYPE family, const nlohmann::json& descriptor,
                           const BaseFields& base, Layout& layout);

// JSON number (or boolean) to a 32-bit column value: integers keep their low
// 32 bits, floating point truncates toward zero. Returns false for any other
// type and for floating point values that no int32 can hold.
bool read_int32(const nlohmann::json& value, std::int32_t& out);

}  // namespace palvex
