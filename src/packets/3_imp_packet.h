// Resistance packets (type 3): two samples of ten unsigned 32-bit resistance
// values, a shared battery byte and a packet number per sample.
#pragma once

#include "packets/packet_base.h"

namespace palvex {

class IMP_3_PACKET final : public PacketBase {
public:
    static constexpr int packet_size = packet_size_of(IMP_3);

    IMP_3_PACKET(const nlohmann::json& descriptor, data_callback_fn callback);

    void interpret(const unsigned char* packet, int length, double* row, int sample) override;
    int calc_packet_size() const override { return packet_size; }
    int create_write_instr(const unsigned char* data, std::size_t length, Instruction& out) override;

    const std::int32_t format_code = 3;
};

}  // namespace palvex
