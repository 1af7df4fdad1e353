// Packet fields sit at odd offsets: they are assembled byte by byte, with no
// alignment or host byte order assumed.
#pragma once

#include <cstdint>

namespace palvex {

inline std::uint16_t read_le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::int16_t read_le16_signed(const unsigned char* p) {
    return static_cast<std::int16_t>(read_le16(p));
}
inline std::uint32_t read_le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int32_t read_le32_signed(const unsigned char* p) {
    return static_cast<std::int32_t>(read_le32(p));
}
// 24-bit two's complement, first byte most significant.
inline std::int32_t read_be24_signed(const unsigned char* p) {
    const std::uint32_t raw = (static_cast<std::uint32_t>(p[0]) << 16) |
                              (static_cast<std::uint32_t>(p[1]) << 8) | p[2];
    return static_cast<std::int32_t>(raw ^ 0x800000u) - 0x800000;
}

inline void write_le32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace palvex
