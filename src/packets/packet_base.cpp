#include "packets/packet_base.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <nlohmann/json.hpp>
#include <spdlog/spdlog.h>

#include "ground/logging.h"

namespace palvex {

std::atomic<std::uint8_t> PacketBase::PHYSICAL_TRIGGER_OUT{0};

std::int32_t wrap_to_int32(double value) {
    if (!(std::fabs(value) < 9.0e18)) return 0;  // NaN, infinities, beyond int64
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(value))));
}

namespace {
// Signed 32-bit difference a - b taken modulo 2^32.
std::int32_t wrapping_gap(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
std::int32_t wrapping_add(std::int32_t a, std::int32_t b) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
}  // namespace

PacketBase::PacketBase(COMM_TYPE type, const nlohmann::json& descriptor, data_callback_fn callback)
    : PacketBase(type, read_base_fields(descriptor), callback) {}

PacketBase::PacketBase(COMM_TYPE type, const BaseFields& base, data_callback_fn callback)
    : comm_type(type),
      data_callback(callback),
      num_rows(base.num_rows),
      package_num_channel(base.package_num_channel),
      lost_packet_buffer(static_cast<std::size_t>(base.num_rows), 0.0),
      scratch_row(static_cast<std::size_t>(base.num_rows), 0.0),
      base_(base) {}

PacketBase::~PacketBase() = default;

void PacketBase::compile(const nlohmann::json& descriptor) {
    layout_error_ = compile_layout(comm_type, descriptor, base_, layout);
}

int PacketBase::get_packets(const unsigned char* buffer, std::size_t length) {
    if (length == config_packet_length) {
        interpret_config(buffer);
        return result_config;
    }
    // The length first: a buffer of the wrong size is refused the same way
    // whatever the decoder's state.
    if (comm_type != WUA2) {
        if (length < type_word_length) return PALVEX_ERR_PACKET_SIZE;
        buffer += type_word_length;
        length -= type_word_length;
    }
    if (length != static_cast<std::size_t>(get_packet_size())) return PALVEX_ERR_PACKET_SIZE;
    if (host_context == nullptr || data_callback == nullptr) return PALVEX_ERR_NO_CONTEXT;
    if (!layout_error_.empty()) return PALVEX_ERR_NO_DESCRIPTOR;

    double* row = scratch_row.data();
    std::fill(row, row + num_rows, 0.0);  // once per call: a column left alone keeps sample 0's value
    for (int sample = 0; sample < samples_per_packet; ++sample) {
        for (const std::int32_t c : layout.framing_ppg) row[c] = -1.0;
        interpret(buffer, static_cast<int>(length), row, sample);
        package_num = wrap_to_int32(row[package_num_channel]);
        row[valid_row_column] = 1.0;
        if (layout.filler != no_column) row[layout.filler] = 0.0;
        if (has_reference) add_lost_packets();
        deliver(row);
    }
    return 0;
}

void PacketBase::deliver(const double* row) {
    data_callback(host_context, row, static_cast<std::size_t>(num_rows));
    // Every row delivered is the model of the fillers that may follow it.
    std::memcpy(lost_packet_buffer.data(), row, sizeof(double) * static_cast<std::size_t>(num_rows));
    last_package_num = package_num;
    has_reference = package_num != 0;
}

int PacketBase::add_lost_packets() {
    const std::int64_t gap = wrapping_gap(package_num, last_package_num);
    // In order, repeated, gone back or restarted: nothing is missing.
    if (gap <= 1) return 0;
    if (gap - 1 > PALVEX_MAX_FILLED_ROWS) {
        // Too far to be a loss: a corrupted counter. The row becomes the reference.
        report_discontinuity(last_package_num, package_num);
        return 0;
    }
    double* filler = lost_packet_buffer.data();
    if (layout.filler != no_column) filler[layout.filler] = 1.0;
    std::int32_t number = last_package_num;
    for (std::int64_t i = 1; i < gap; ++i) {
        number = wrapping_add(number, 1);
        // The number as the board sent it (unsigned), like in decoded rows.
        filler[package_num_channel] = static_cast<double>(static_cast<std::uint32_t>(number));
        data_callback(host_context, filler, static_cast<std::size_t>(num_rows));
    }
    return static_cast<int>(gap - 1);
}

void PacketBase::restart_accounting() { has_reference = false; }

void PacketBase::report_discontinuity(std::int32_t previous, std::int32_t next) const {
    const auto prev_u = static_cast<std::uint32_t>(previous);
    const auto next_u = static_cast<std::uint32_t>(next);
    if (stream_name_.empty())
        log_warn("Packet number jumped from {} to {}: treated as a counter discontinuity, no rows filled",
                 prev_u, next_u);
    else
        log_warn("Packet number of board {} jumped from {} to {}: treated as a counter discontinuity, "
                 "no rows filled",
                 stream_name_, prev_u, next_u);
}

Instruction make_instruction(const unsigned char* data, std::size_t length) {
    Instruction out;
    out.length = instruction_length;
    if (data != nullptr) std::memcpy(out.bytes.data(), data, std::min(length, instruction_length));
    return out;
}

int PacketBase::create_write_data(const unsigned char* data, std::size_t length, Instruction& out) {
    const int rc = create_write_instr(data, length, out);
    if (rc != 0) return rc;
    if (out.length == 0) return PALVEX_ERR_NO_INSTRUCTION;
    if (write_callback == nullptr) return PALVEX_ERR_NO_WRITE_CALLBACK;
    return 0;
}

int PacketBase::write_data_w_callback(const unsigned char* data, std::size_t length) {
    Instruction instr;
    const int rc = create_write_data(data, length, instr);
    if (rc != 0) return rc;
    write_callback(host_context, instr.bytes.data(), instr.length);
    return 0;
}

}  // namespace palvex
