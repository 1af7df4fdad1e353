// 216-byte packets without a type word: two records of 27 little-endian
// 32-bit words (8 ExG, 10 resistance, battery, other, 3 accel, 3 gyro,
// packet number).
#pragma once

#include "packets/packet_base.h"

namespace palvex {

class WUA2_PACKET final : public PacketBase {
public:
    static constexpr int packet_size = packet_size_of(WUA2);

    WUA2_PACKET(const nlohmann::json& descriptor, data_callback_fn callback);

    void interpret(const unsigned char* packet, int length, double* row, int sample) override;
    int calc_packet_size() const override { return packet_size; }
    int create_write_instr(const unsigned char* data, std::size_t length, Instruction& out) override;

    const std::int32_t format_code = 1;
};

}  // namespace palvex
