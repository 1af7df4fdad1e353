#include "packets/3_imp_packet.h"

#include "packets/byte_order.h"

namespace palvex {
namespace {
constexpr int sample_block = 40;
constexpr int battery_at = 80;
constexpr int package_num_at = 81;
}  // namespace

IMP_3_PACKET::IMP_3_PACKET(const nlohmann::json& descriptor, data_callback_fn callback)
    : PacketBase(IMP_3, descriptor, callback) {
    compile(descriptor);
}

void IMP_3_PACKET::interpret(const unsigned char* packet, int length, double* row, int sample) {
    if (length != packet_size) return;
    const Layout& l = layout;
    const unsigned char* r = packet + sample_block * sample;
    for (std::size_t i = 0; i < l.resistance.n; ++i) row[l.resistance.col[i]] = read_le32(r + 4 * i);
    row[l.battery] = packet[battery_at];
    row[l.package_num_channel] = read_le32(packet + package_num_at + 4 * sample);
    row[l.other[1]] = format_code;
}

int IMP_3_PACKET::create_write_instr(const unsigned char* data, std::size_t length, Instruction& out) {
    out = make_instruction(data, length);
    return 0;
}

}  // namespace palvex
