// The decoder of one board stream. One subclass per packet family supplies
// the decoding of one sample, its packet size and its instruction builder;
// the framing, the loss accounting and the write operations live here.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "packets/families.h"
#include "packets/layout.h"
#include "palvex/palvex.h"

namespace palvex {

// Internal results besides the public codes: buffers consumed without rows.
constexpr int result_type_word_zero = -1;  // the factory: a buffer whose type word is 0
constexpr int result_config = -2;          // 5-byte configuration confirmation

constexpr std::size_t instruction_length = 5;

struct Instruction {
    std::array<unsigned char, instruction_length> bytes{};
    std::size_t length = 0;  // 0: nothing was built
};

// The 5-byte instruction a board takes: the first five command bytes,
// zero-padded; longer commands are cut.
Instruction make_instruction(const unsigned char* data, std::size_t length);

// Packet numbers travel as unsigned 32-bit values; the accounting compares
// them as signed 32-bit values with wrap-around. Never an out-of-range
// double-to-int conversion.
std::int32_t wrap_to_int32(double value);

class PacketBase {
public:
    PacketBase(COMM_TYPE type, const nlohmann::json& descriptor, data_callback_fn callback);
    virtual ~PacketBase();
    PacketBase(const PacketBase&) = delete;
    PacketBase& operator=(const PacketBase&) = delete;

    virtual void interpret(const unsigned char* packet, int length, double* row, int sample) = 0;
    virtual void interpret_config(const unsigned char* /*bytes*/) {}
    virtual int calc_packet_size() const = 0;
    virtual int get_packet_size() const { return calc_packet_size(); }
    virtual int create_write_instr(const unsigned char* data, std::size_t length, Instruction& out) = 0;
    double* get_lost_packet_buffer() { return lost_packet_buffer.data(); }

    // Checked in this order: -2 configuration packet; 1 wrong length; 2 no
    // host context or no data callback; 6 the descriptor cannot decode this
    // family (layout_error says why); else 0, every row delivered.
    int get_packets(const unsigned char* buffer, std::size_t length);
    // Before the row numbered `package_num`: one filler row for each number
    // missing since the last row delivered (none for a jump beyond
    // PALVEX_MAX_FILLED_ROWS, which is logged). Returns how many.
    int add_lost_packets();

    // The next row is taken as a stream's first: no gap check before it.
    // A hub session that starts again is no continuation of the last one.
    void restart_accounting();

    int create_write_data(const unsigned char* data, std::size_t length, Instruction& out);
    int write_data_w_callback(const unsigned char* data, std::size_t length);

    // Raised by the MES families for trigger instructions, sent and cleared
    // by the hub write path. One flag for the process.
    static std::atomic<std::uint8_t> PHYSICAL_TRIGGER_OUT;

    const std::string& layout_error() const { return layout_error_; }
    // Names the stream in log lines (the SSID in hub mode).
    void set_stream_name(std::string name) { stream_name_ = std::move(name); }

    const COMM_TYPE comm_type;
    data_callback_fn data_callback;
    write_callback_fn write_callback = nullptr;
    void* host_context = nullptr;
    const int samples_per_packet = 2;
    std::int32_t last_package_num = 0;  // of the last row delivered
    std::int32_t package_num = 0;       // of the row being decoded
    // The next row takes a gap check against last_package_num: not before a
    // decoder's first row, nor after a row numbered 0. A flag, since every
    // 32-bit value is a number a board may send.
    bool has_reference = false;
    const std::int32_t num_rows;
    const std::int32_t package_num_channel;  // written by interpret, read back by the loss accounting

protected:
    // Called by each family's constructor.
    void compile(const nlohmann::json& descriptor);

    Layout layout;

private:
    PacketBase(COMM_TYPE type, const BaseFields& base, data_callback_fn callback);
    void report_discontinuity(std::int32_t previous, std::int32_t next) const;

    void deliver(const double* row);

    std::vector<double> lost_packet_buffer;  // the last row delivered: the fillers' model
    std::vector<double> scratch_row;  // one row reused by every call
    std::string layout_error_;
    std::string stream_name_;
    BaseFields base_;
};

}  // namespace palvex
