#include "hub/chunk_dispatch.h"

#include <mutex>

#include "hub/hub_state.h"
#include "interface/decoder_factory.h"
#include "interface/logging.h"

namespace palvex {
namespace {

// Results the loop goes on after; anything else ends it.
bool accepted(int rc) { return rc == 0 || rc == result_dropped || rc == result_config || rc == PALVEX_ERR_NO_CONTEXT; }

}  // namespace

bool ChunkDispatcher::dispatch(const ChunkStream::Chunk& chunk) {
    if (chunk.corrupted) {
        log_warn("Got corrupted packet size. Continuing.");
        return true;
    }
    const std::size_t length = static_cast<std::size_t>(chunk.length);
    ssid_.assign(chunk.ssid.data(), chunk.ssid.size());
    void* registered = nullptr;
    bool has_registered = false;
    DecoderSlot decoder;
    int rc = 0;
    {
        std::lock_guard<std::mutex> lock(corvel_board_check_mutex);
        const auto entry = corvel_board_map.find(ssid_);
        has_registered = entry != corvel_board_map.end();
        if (has_registered) registered = entry->second;
        auto [slot, is_new] = corvel_global_packets.try_emplace(ssid_);
        if (is_new) {
            log_info("Storing new SSID: {}", ssid_);
            corvel_ssids.push_back(ssid_);
        }
        // The slot is replaced under the lock: the write path reads it from other threads.
        rc = init_data_handler_fn(chunk.payload, length, callback_, registered, slot->second, ssid_.c_str());
        decoder = slot->second;
    }
    if (rc == result_dropped || rc == result_config) {
        log_warn("Found secondary error at packet init: {}. Continuing.", rc);
        return true;
    }
    if (rc != 0) {
        log_warn("Found error at packet init: {}. Continuing.", rc);
        return true;
    }
    if (!decoder) {
        log_warn("Packet handler was not initialized for some reason. Dropping packet and continuing.");
        return true;
    }
    if (has_registered) {
        decoder->host_context = registered;
        rc = decoder->get_packets(chunk.payload, length);
        if (!accepted(rc)) {
            log_error("Packet interpretation error: {}", rc);
            return false;
        }
    }
    // Held while the host's callback runs for every all-boards context.
    std::lock_guard<std::mutex> lock(corvel_board_check_mutex);
    for (void* context : corvel_all_board_vec) {
        decoder->host_context = context;
        rc = decoder->get_packets(chunk.payload, length);
        if (!accepted(rc)) {
            log_error("Packet interpretation error when combined: {}", rc);
            return false;
        }
    }
    return true;
}

void reset_hub_tables() {
    std::lock_guard<std::mutex> lock(corvel_board_check_mutex);
    corvel_board_map.clear();
    corvel_all_board_vec.clear();
    corvel_ssids.clear();
    corvel_global_packets.clear();
}

}  // namespace palvex
