// The three MES families share one layout: ExG of both samples, battery,
// per-sample other and nibble bytes, accelerometer and gyroscope; they differ
// only in what follows the gyroscope (nothing, two PPG bytes, three raw PPG
// values) and so in where the packet numbers sit. One decoder reads all
// three from a table of those differences.
#pragma once

#include "packets/packet_base.h"

namespace palvex {

struct MesFormat {
    enum class Ppg { none, bytes, raw16 };
    COMM_TYPE type;
    int packet_size;
    Ppg ppg;
    int package_num_offset;  // sample 0; sample 1 follows 4 bytes later
    int format_code;
};

class MesPacket : public PacketBase {
public:
    MesPacket(const MesFormat& format, const nlohmann::json& descriptor, data_callback_fn callback);

    void interpret(const unsigned char* packet, int length, double* row, int sample) override;
    int calc_packet_size() const override { return format_.packet_size; }
    int create_write_instr(const unsigned char* data, std::size_t length, Instruction& out) override;

private:
    const MesFormat& format_;
};

// 73 bytes, no PPG.
class MES_2_PACKET final : public MesPacket {
public:
    MES_2_PACKET(const nlohmann::json& descriptor, data_callback_fn callback);
};

// 75 bytes, two PPG bytes.
class MES_4_PACKET final : public MesPacket {
public:
    MES_4_PACKET(const nlohmann::json& descriptor, data_callback_fn callback);
};

// 79 bytes, three raw 16-bit PPG values; rows carry format code 4 like MES_4.
class MES_5_PACKET final : public MesPacket {
public:
    MES_5_PACKET(const nlohmann::json& descriptor, data_callback_fn callback);
};

}  // namespace palvex
