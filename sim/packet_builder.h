// Builds the byte streams boards and the hub send: packets of every family
// and hub chunks (and brings the default descriptor along). Its byte
// offsets are written from the wire format, not taken from the library's
// decoders, since it is what the decoders are checked against.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "default_descriptor.h"
#include "palvex/palvex.h"

namespace palvex_test {

using Bytes = std::vector<std::uint8_t>;

struct MesSample {
    std::array<std::int32_t, 8> exg{};  // 24-bit values, sign kept
    std::uint8_t other = 0;
    std::uint8_t nibbles = 0;
    std::uint32_t package_num = 0;
};

// One packet of MES_2, MES_4 or MES_5 (type decides which fields exist).
struct MesPacket {
    COMM_TYPE type = MES_4;
    std::array<MesSample, 2> sample{};
    std::uint8_t battery = 0;
    std::array<std::int16_t, 3> accel{};
    std::array<std::int16_t, 3> gyro{};
    std::array<std::uint8_t, 2> ppg{};        // MES_4
    std::array<std::int16_t, 3> ppg_raw{};    // MES_5
};

struct Imp3Packet {
    std::array<std::array<std::uint32_t, 10>, 2> resistance{};
    std::uint8_t battery = 0;
    std::array<std::uint32_t, 2> package_num{};
};

struct Wua2Record {
    std::array<std::int32_t, 8> exg{};
    std::array<std::int32_t, 10> resistance{};
    std::uint32_t battery = 0;
    std::uint32_t other = 0;
    std::array<std::int32_t, 3> accel{};
    std::array<std::int32_t, 3> gyro{};
    std::uint32_t package_num = 0;
};

struct Wua2Packet {
    std::array<Wua2Record, 2> record{};
};

// Whole received buffers: type word + packet for MES/IMP, 216 bytes for WUA2.
Bytes build(const MesPacket& p);
Bytes build(const Imp3Packet& p);
Bytes build(const Wua2Packet& p);

// What a board measured for one sample, in the board's own integers.
// A packet takes the fields its family has: WUA2 every field of both
// samples; MES and IMP_3 the fields they carry once a packet (battery,
// accelerometer, gyroscope, PPG) from the first sample.
struct Sample {
    std::array<std::int32_t, 8> exg{};
    std::array<std::int32_t, 10> resistance{};
    std::array<std::int32_t, 3> accel{};
    std::array<std::int32_t, 3> gyro{};
    std::uint32_t battery = 0;  // percent; millivolts for WUA2
    std::uint32_t other = 0;
    std::uint8_t nibbles = 0;
    std::array<std::uint8_t, 2> ppg{};        // MES_4
    std::array<std::int16_t, 3> ppg_raw{};    // MES_5
};

// The buffer of a packet of `family` holding two samples, with packet
// numbers first_package_num and first_package_num + 1.
Bytes packet_from(COMM_TYPE family, std::uint32_t first_package_num, const std::array<Sample, 2>& samples);

// A buffer of `family` whose two samples carry packet numbers n and n + 1,
// with non-trivial values in every field (derived from n).
Bytes packet_of(COMM_TYPE family, std::uint32_t first_package_num);

// Received buffer length of a family (216, 75, 91, 77, 81).
std::size_t buffer_length(COMM_TYPE family);

// A hub chunk: 6-byte SSID (zero-padded), signed 32-bit little-endian
// length, payload. `length` overrides the payload's size when given.
Bytes hub_chunk(const std::string& ssid, const Bytes& payload);
Bytes hub_chunk(const std::string& ssid, std::int32_t length, const Bytes& payload);

Bytes concat(const std::vector<Bytes>& parts);

}  // namespace palvex_test
