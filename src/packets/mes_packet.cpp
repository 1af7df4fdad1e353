#include "packets/mes_packet.h"

#include "packets/byte_order.h"
#include "packets/scale.h"

namespace palvex {
namespace {

constexpr MesFormat mes_2{MES_2, packet_size_of(MES_2), MesFormat::Ppg::none, 65, 2};
constexpr MesFormat mes_4{MES_4, packet_size_of(MES_4), MesFormat::Ppg::bytes, 67, 4};
constexpr MesFormat mes_5{MES_5, packet_size_of(MES_5), MesFormat::Ppg::raw16, 71, 4};

// Field offsets shared by the three families.
constexpr int exg_block = 24;  // 8 channels x 3 bytes per sample
constexpr int battery_at = 48;
constexpr int other_at = 49;
constexpr int nibbles_at = 51;
constexpr int accel_at = 53;
constexpr int gyro_at = 59;
constexpr int ppg_at = 65;

}  // namespace

MesPacket::MesPacket(const MesFormat& format, const nlohmann::json& descriptor,
                     data_callback_fn callback)
    : PacketBase(format.type, descriptor, callback), format_(format) {
    compile(descriptor);
}

void MesPacket::interpret(const unsigned char* p, int length, double* row, int sample) {
    if (length != format_.packet_size) return;
    const Layout& l = layout;
    // The order of the writes decides which value wins when two keys share a column.
    const unsigned char* exg = p + exg_block * sample;
    for (std::size_t i = 0; i < l.exg.n; ++i)
        row[l.exg.col[i]] = read_be24_signed(exg + 3 * i) * exg_scale;
    row[l.battery] = p[battery_at];
    row[l.other[0]] = p[other_at + sample];
    for (std::size_t i = 0; i < l.accel.n; ++i)
        row[l.accel.col[i]] = read_le16_signed(p + accel_at + 2 * i) * accel_scale;
    for (std::size_t i = 0; i < l.gyro.n; ++i)
        row[l.gyro.col[i]] = read_le16_signed(p + gyro_at + 2 * i) * gyro_scale;
    if (format_.ppg == MesFormat::Ppg::bytes) {
        for (std::size_t i = 0; i < l.ppg.n; ++i) row[l.ppg.col[i]] = p[ppg_at + i];
    } else if (format_.ppg == MesFormat::Ppg::raw16) {
        for (std::size_t i = 0; i < l.ppg_raw.n; ++i)
            row[l.ppg_raw.col[i]] = read_le16_signed(p + ppg_at + 2 * i);
    }
    row[l.package_num_channel] = read_le32(p + format_.package_num_offset + 4 * sample);
    if (l.has_nibbles) {
        const unsigned char nibbles = p[nibbles_at + sample];
        row[l.other[2]] = nibbles >> 4;
        row[l.other[3]] = nibbles & 0x0F;
    }
    row[l.other[1]] = format_.format_code;
}

int MesPacket::create_write_instr(const unsigned char* data, std::size_t length, Instruction& out) {
    out = make_instruction(data, length);
    if (out.bytes[0] == 1 || out.bytes[0] == 2) PHYSICAL_TRIGGER_OUT.store(1);
    return 0;
}

MES_2_PACKET::MES_2_PACKET(const nlohmann::json& d, data_callback_fn cb) : MesPacket(mes_2, d, cb) {}
MES_4_PACKET::MES_4_PACKET(const nlohmann::json& d, data_callback_fn cb) : MesPacket(mes_4, d, cb) {}
MES_5_PACKET::MES_5_PACKET(const nlohmann::json& d, data_callback_fn cb) : MesPacket(mes_5, d, cb) {}

}  // namespace palvex
