#include "packets/wua2_packet.h"

#include "packets/byte_order.h"
#include "packets/scale.h"

namespace palvex {
namespace {
constexpr int record_size = 108;
constexpr int resistance_at = 32;
constexpr int battery_at = 72;
constexpr int other_at = 76;
constexpr int accel_at = 80;
constexpr int gyro_at = 92;
constexpr int package_num_at = 104;

// Battery millivolts to percent: 2800 is empty, 4250 full; not clamped.
double battery_percent(std::uint32_t millivolts) {
    return (millivolts / 1000.0 - 2.8) * 100.0 / 1.45;
}
}  // namespace

WUA2_PACKET::WUA2_PACKET(const nlohmann::json& descriptor, data_callback_fn callback)
    : PacketBase(WUA2, descriptor, callback) {
    compile(descriptor);
}

void WUA2_PACKET::interpret(const unsigned char* packet, int length, double* row, int sample) {
    if (length != packet_size) return;
    const Layout& l = layout;
    const unsigned char* r = packet + record_size * sample;
    for (std::size_t i = 0; i < l.exg.n; ++i) row[l.exg.col[i]] = read_le32_signed(r + 4 * i) * exg_scale;
    for (std::size_t i = 0; i < l.resistance.n; ++i)
        row[l.resistance.col[i]] = read_le32_signed(r + resistance_at + 4 * i);
    row[l.battery] = battery_percent(read_le32(r + battery_at));
    row[l.other[0]] = read_le32(r + other_at);
    for (std::size_t i = 0; i < l.accel.n; ++i)
        row[l.accel.col[i]] = read_le32_signed(r + accel_at + 4 * i) * accel_scale;
    for (std::size_t i = 0; i < l.gyro.n; ++i)
        row[l.gyro.col[i]] = read_le32_signed(r + gyro_at + 4 * i) * gyro_scale;
    row[l.package_num_channel] = read_le32(r + package_num_at);
    row[l.other[1]] = format_code;
}

int WUA2_PACKET::create_write_instr(const unsigned char* data, std::size_t length, Instruction& out) {
    out = make_instruction(data, length);
    return 0;
}

}  // namespace palvex
