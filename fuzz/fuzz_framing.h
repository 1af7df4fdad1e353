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
//   code >> 3  :  for ops 0-3 on a packet of a family: the step that
//                 numbers it from the previous packet (next_numbers())
//
// fuzz_hub_stream
//   input      := u8 config u8 k (u16 piece){k} <stream bytes>
//   config     :  bits 0-1 built-in descriptor, bit 2 register every SSID
//                 (otherwise only those of even length), bits 3-4 number of
//                 all-boards contexts (0-3)
//   numbers    :  each board's packets are numbered from its previous one
//                 by next_numbers(), the step chosen by the low 5 bits of
//                 the packet's first number
//   pieces     :  the stream is handed over in receives of these sizes (0
//                 counts as 1), the rest in one last receive; its first byte
//                 may be anywhere inside a chunk, as after the read loop's
//                 first receive
// All integers little-endian.
//
// Real streams lose a few packets, not billions: numbers taken from the
// input as they stand would ask for up to 2^20 filler rows per packet (the
// fuzzer favours such inputs, as the filler loop's hit counts are coverage
// to it) and leave little time for anything else. So a board's first packet
// keeps its own numbers, anything a board may send, and the packets after
// it follow in small steps, with now and then a repeat, a step back, a
// number 0, a gap inside a packet and wild jumps past the fill bound.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "palvex/palvex.h"

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
// columns, one with nibble columns and a filler mark, and the least an IMP_3 board needs.
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
            "battery_channel": 27, "other_channels": [28, 30, 31, 35], "filler_channel": 36})",
        R"({"num_rows": 30, "resistance_channels": [0, 1], "package_num_channel": 2, "battery_channel": 3,
            "other_channels": ["unused", 4]})",
    };
    return all;
}

// Where the built-in descriptors put the packet number and the filler mark
// (-1: no filler mark).
struct MarkedColumns {
    int number, filler;
};
inline MarkedColumns builtin_marks(std::size_t choice) {
    static const MarkedColumns marks[] = {{26, 32}, {12, -1}, {26, 36}, {2, -1}};
    return marks[choice];
}

// The two packet numbers that follow `previous` under step choice k (0-31):
// mostly in order, some losses of 1 to 8 numbers, a repeat of the previous
// packet, a step back, a gap inside the packet, rows numbered 0, a loss of
// hundreds, a jump just past the fill bound and a wild one. Modulo 2^32.
inline std::array<std::uint32_t, 2> next_numbers(std::uint32_t previous, unsigned k) {
    const auto after = [previous](std::int64_t d) {
        return static_cast<std::uint32_t>(static_cast<std::int64_t>(previous) + d);
    };
    k &= 31;
    if (k < 16) return {after(1), after(2)};
    if (k < 24) return {after(k - 14), after(k - 13)};
    switch (k) {
        case 24: return {after(-1), previous};
        case 25: return {after(-5), after(-4)};
        case 26: return {after(1), after(4)};
        case 27: return {0, 1};
        case 28: return {after(1), 0};
        case 29: return {after(300), after(301)};
        case 30: return {after(PALVEX_MAX_FILLED_ROWS + 2), after(PALVEX_MAX_FILLED_ROWS + 3)};
        default: return {after(0x9E3779B9), after(0x9E3779BA)};
    }
}

// Where a received buffer holds its two packet numbers (little-endian
// 32-bit), told the way the library tells the family: 216 bytes are WUA2,
// else the type word with its family's length. False for anything else.
inline bool packet_number_offsets(const std::uint8_t* b, std::size_t n, std::array<std::size_t, 2>& at) {
    if (n == 216) {
        at = {104, 108 + 104};
        return true;
    }
    if (b == nullptr || n < 2) return false;
    struct Family {
        unsigned type_word;
        std::size_t length, first;
    };
    static const Family typed[] = {{2, 75, 2 + 65}, {3, 91, 2 + 81}, {4, 77, 2 + 67}, {5, 81, 2 + 71}};
    const unsigned word = b[0] | (b[1] << 8);
    for (const Family& f : typed)
        if (f.type_word == word && f.length == n) {
            at = {f.first, f.first + 4};
            return true;
        }
    return false;
}

inline std::uint32_t read_u32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void write_u32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// One board's numbering while an input runs.
struct Numbering {
    bool started = false;
    std::uint32_t previous = 0;

    // Numbers the packet in `b` by step k from the previous packet. The
    // first packet of a board starts from its own first number, so any
    // value and the 2^32 wrap stay within reach. Not a packet: left alone.
    void apply(std::uint8_t* b, std::size_t n, unsigned k) {
        std::array<std::size_t, 2> at{};
        if (!packet_number_offsets(b, n, at)) return;
        if (!started) previous = read_u32(b + at[0]) - 1;
        started = true;
        const std::array<std::uint32_t, 2> numbers = next_numbers(previous, k);
        write_u32(b + at[0], numbers[0]);
        write_u32(b + at[1], numbers[1]);
        previous = numbers[1];
    }
};

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
