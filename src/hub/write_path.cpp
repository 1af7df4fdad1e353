#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "hub/hub.h"
#include "hub/hub_state.h"
#include "packets/byte_order.h"

namespace palvex {
namespace {

constexpr std::size_t frame_header = 5;   // trigger byte, entry count
constexpr std::size_t entry_header = 10;  // SSID, instruction length

// The SSIDs `context` addresses, or false when it is registered nowhere.
// The registry is searched first: a context registered under SSIDs and for
// all boards addresses those SSIDs, in the order they were registered.
bool addressed_ssids(void* context, std::vector<std::string>& out) {
    for (const auto& [ssid, registered] : corvel.registrations)
        if (registered == context) out.push_back(ssid);
    if (!out.empty()) return true;
    for (void* all : corvel.all_board_vec) {
        if (all == context) {
            out = corvel.ssids;
            return true;
        }
    }
    return false;
}

void append_entry(std::vector<unsigned char>& frame, const std::string& ssid, const Instruction& instruction) {
    const std::size_t at = frame.size();
    frame.resize(at + entry_header + instruction.length, 0);  // short SSIDs are zero-padded
    std::memcpy(frame.data() + at, ssid.data(), std::min<std::size_t>(ssid.size(), 6));
    write_le32(frame.data() + at + 6, static_cast<std::uint32_t>(instruction.length));
    std::memcpy(frame.data() + at + entry_header, instruction.bytes.data(), instruction.length);
}

// The frame for the addressed boards, trigger byte still 0; false when the
// context is registered nowhere.
bool build_frame(const unsigned char* data, std::size_t length, void* context, std::vector<unsigned char>& frame) {
    std::lock_guard<std::mutex> lock(corvel.board_check_mutex);
    std::vector<std::string> ssids;
    if (!addressed_ssids(context, ssids)) return false;
    frame.assign(frame_header, 0);
    std::uint32_t entries = 0;
    for (const std::string& ssid : ssids) {
        const auto board = corvel.global_packets.find(ssid);
        // A board not met yet, or whose decoder was never made, has no
        // instruction: it is left out and not counted.
        if (board == corvel.global_packets.end() || !board->second.decoder) continue;
        Instruction instruction;
        board->second.decoder->create_write_data(data, length, instruction);  // 4 (no write callback) is expected here
        append_entry(frame, ssid, instruction);
        ++entries;
    }
    write_le32(frame.data() + 1, entries);
    return true;
}

// TCP may take less than the whole frame at once. A send that fails, or
// times out with part of the frame out, leaves a half frame the hub would
// misread every later frame by: the connection is then finished.
bool send_whole(SocketClientTCP6& socket, const std::vector<unsigned char>& frame) {
    std::size_t sent = 0;
    while (sent < frame.size()) {
        const int n = socket.send(reinterpret_cast<const char*>(frame.data() + sent),
                                  static_cast<int>(frame.size() - sent));
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::int32_t write_to_boards(const unsigned char* data, std::size_t length, void* context) {
    // A command that is not there cannot become an instruction for anyone.
    if (data == nullptr && length != 0) return PALVEX_ERR_NO_INSTRUCTION;
    std::vector<unsigned char> frame;
    if (!build_frame(data, length, context, frame)) return PALVEX_ERR_NOT_REGISTERED;

    // Frames go out one at a time, and never under the board lock: a hub
    // that stops reading must not stall the read loop.
    std::lock_guard<std::mutex> lock(corvel.write_mutex);
    // Held for the send: the read loop may replace the connection meanwhile,
    // but this one stays open until the send is done.
    const HubLink::Connection connection = corvel.link.current();
    if (connection == nullptr) return PALVEX_ERR_NO_CONNECTION;
    // Taken and cleared in one step, so a trigger raised by another thread
    // while this frame is sent goes out with the next frame, not nowhere.
    frame[0] = PacketBase::PHYSICAL_TRIGGER_OUT.exchange(0);
    if (send_whole(*connection, frame)) return 0;
    if (frame[0] != 0) PacketBase::PHYSICAL_TRIGGER_OUT.store(frame[0]);  // still pending: it never reached a board
    corvel.link.failed(connection);
    return PALVEX_ERR_NO_CONNECTION;
}

}  // namespace palvex
