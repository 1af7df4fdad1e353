// How a fuzz input is laid out, for the targets that read it and for the
// seed generator that writes it: one definition, so seeds always parse.
//
// fuzz_single_board
//   input      := descriptor op*
//   descriptor := u8 choice                    choice < 0xFF: built-in descriptor (choice % count)
//               | 0xFF u16 n <n bytes>         the descriptor text itself
//   op         := u8 code u16 n <n bytes>      (bytes cut short at the end of the input)
//   code % 8   :  0-2 interpret_data_fn(bytes)         3 interpret_data_fn with no host context
//                 4   data_write(bytes)                5 set_board_json(bytes as text)
//                 6   release()                        7 data_write(NULL, n)
//
// fuzz_hub_stream
//   input      := u8 config u8 k (u16 piece){k} <stream bytes>
//   config     :  bits 0-1 built-in descriptor, bit 2 register every SSID
//                 (otherwise only those of even length), bits 3-4 number of
//                 all-boards contexts (0-3)
//   pieces     :  the stream is handed over in receives of these sizes (0
//                 counts as 1), the rest in one last receive; its first byte
//                 may be anywhere inside a chunk, as after the read loop's
//                 first receive
// All integers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace palvex_fuzz {

enum Op : std::uint8_t {
    op_interpret = 0,
    op_interpret_no_context = 3,
    op_data_write = 4,
    op_set_descriptor = 5,
    op_release = 6,
    op_data_write_null = 7,
};
constexpr std::uint8_t descriptor_text = 0xFF;

// Built-in descriptors: the default 33 columns with the filler mark, one whose PPG keys are single
// columns, one with nibble columns, and the least an IMP_3 board needs.
inline const std::vector<std::string>& builtin_descriptors() {
    static const std::vector<std::string> all = {
        R"({"num_rows": 33, "exg_channels": [0, 1, 2, 3, 4, 5, 6, 7], "accel_channels": [8, 9, 10],
            "gyro_channels": [11, 12, 13], "resistance_channels": [14, 15, 16, 17, 18, 19, 20, 21, 22, 23],
            "ppg_channels": [24, 25], "ppg_raw_channels": [24, 25, 31], "package_num_channel": 26,
            "battery_channel": 27, "other_channels": [28, 30], "filler_channel": 32})",
        R"({"num_rows": 30, "exg_channels": [0, 1, 2], "accel_channels": [3, 4, 5], "gyro_channels": [6, 7, 8],
            "resistance_channels": [9], "ppg_channels": 10, "ppg_raw_channels": 11, "package_num_channel": 12,
            "battery_channel": 13, "other_channels": [14, 15]})",
        R"({"num_rows": 40, "exg_channels": [0, 1, 2, 3, 4, 5, 6, 7, 8, 9], "accel_channels": [10, 11, 12],
            "gyro_channels": [13, 14, 15], "resistance_channels": [16, 17, 18, 19, 20, 21, 22, 23, 24, 25],
            "ppg_channels": [32, 33], "ppg_raw_channels": [32, 33, 34], "package_num_channel": 26,
            "battery_channel": 27, "other_channels": [28, 30, 31, 35]})",
        R"({"num_rows": 30, "resistance_channels": [0, 1], "package_num_channel": 2, "battery_channel": 3,
            "other_channels": ["unused", 4]})",
    };
    return all;
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), n_(size) {}
    bool empty() const { return n_ == 0; }
    std::size_t left() const { return n_; }
    std::uint8_t u8() {
        if (n_ == 0) return 0;
        --n_;
        return *p_++;
    }
    std::uint16_t u16() {
        const std::uint16_t lo = u8();
        return static_cast<std::uint16_t>(lo | (u8() << 8));
    }
    // Up to `n` bytes; fewer at the end of the input.
    const std::uint8_t* take(std::size_t& n) {
        if (n > n_) n = n_;
        const std::uint8_t* at = p_;
        p_ += n;
        n_ -= n;
        return at;
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
};

class Writer {
public:
    Writer& u8(std::uint8_t v) {
        out.push_back(v);
        return *this;
    }
    Writer& u16(std::uint16_t v) { return u8(static_cast<std::uint8_t>(v)).u8(static_cast<std::uint8_t>(v >> 8)); }
    Writer& bytes(const std::vector<std::uint8_t>& b) {
        out.insert(out.end(), b.begin(), b.end());
        return *this;
    }
    Writer& op(std::uint8_t code, const std::vector<std::uint8_t>& b) {
        return u8(code).u16(static_cast<std::uint16_t>(b.size())).bytes(b);
    }
    Writer& op(std::uint8_t code, const std::string& text) {
        return op(code, std::vector<std::uint8_t>(text.begin(), text.end()));
    }
    std::vector<std::uint8_t> out;
};

}  // namespace palvex_fuzz
