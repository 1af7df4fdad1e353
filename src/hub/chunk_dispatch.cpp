#include "hub/chunk_dispatch.h"

#include <mutex>

#include "hub/hub_state.h"
#include "packets/decoder_factory.h"
#include "ground/logging.h"

namespace palvex {
namespace {

// The decoder's data callback in hub mode: one decoded or filler row, handed
// to every context of the board in turn.
void deliver_to_every_context(void* delivery, const double* row, std::size_t count) {
    const auto& d = *static_cast<const BoardStream::Delivery*>(delivery);
    for (void* context : d.contexts) d.callback(context, row, count);
}

// One line per board and cause, however many chunks the board sends that
// way: the factory's refusals (no decoder can be made, an unknown type
// word) and the decoder's (a wrong length, a family the descriptor cannot
// decode) are causes of their own.
enum class Stage { init, interpretation };
unsigned refusal_bit(Stage stage, int rc) {
    unsigned cause = 0;
    switch (rc) {
        case PALVEX_ERR_PACKET_SIZE: cause = 0; break;
        case PALVEX_ERR_NO_DESCRIPTOR: cause = 1; break;
        case PALVEX_ERR_UNKNOWN_TYPE: cause = 2; break;
        default: cause = 3; break;
    }
    return 1u << (cause + (stage == Stage::init ? 4 : 0));
}

bool is_refusal(int rc) { return rc > 0 && rc != PALVEX_ERR_NO_CONTEXT; }

bool first_report(BoardStream& board, Stage stage, int rc) {
    const unsigned bit = refusal_bit(stage, rc);
    const bool first = (board.reported & bit) == 0;
    board.reported |= bit;
    return first;
}

}  // namespace

void ChunkDispatcher::dispatch(const ChunkStream::Chunk& chunk) {
    if (chunk.skipped != 0)
        log_warn("Out of step with Corvel: skipped {} bytes to the next chunk boundary.", chunk.skipped);
    if (chunk.corrupted) {
        log_warn("Got corrupted packet size. Continuing.");
        return;
    }
    const std::size_t length = static_cast<std::size_t>(chunk.length);
    ssid_.assign(chunk.ssid.data(), chunk.ssid.size());
    BoardStream* board = nullptr;
    int rc = 0;
    {
        std::lock_guard<std::mutex> lock(corvel.board_check_mutex);
        auto [entry, is_new] = corvel.global_packets.try_emplace(ssid_);
        if (is_new) {
            log_info("Storing new SSID: {}", ssid_);
            corvel.ssids.push_back(ssid_);
        }
        board = &entry->second;
        // Who wants this chunk, taken once per chunk: a registration made
        // meanwhile applies from the next one. Null contexts get nothing.
        BoardStream::Delivery& delivery = board->delivery;
        delivery.callback = callback_;
        delivery.contexts.clear();
        const auto registered = corvel.board_map.find(ssid_);
        if (registered != corvel.board_map.end() && registered->second != nullptr)
            delivery.contexts.push_back(registered->second);
        for (void* context : corvel.all_board_vec)
            if (context != nullptr) delivery.contexts.push_back(context);
        // The slot is replaced under the lock: the write path reads it from other threads.
        rc = init_data_handler_fn(chunk.payload, length, &deliver_to_every_context, &delivery, board->decoder,
                                  ssid_.c_str());
    }
    if (rc == result_type_word_zero || rc == result_config) {
        log_warn("Found secondary error at packet init: {}. Continuing.", rc);
        return;
    }
    if (rc != 0) {
        if (first_report(*board, Stage::init, rc))
            log_warn("Found error at packet init: {}. Continuing. (board {})", rc, ssid_);
        return;
    }
    // Only the read loop replaces the slot, so it can be read here unlocked.
    PacketBase* decoder = board->decoder.get();
    if (decoder == nullptr) {
        log_warn("Packet handler was not initialized for some reason. Dropping packet and continuing.");
        return;
    }
    if (board->delivery.contexts.empty()) return;  // nobody wants this board: not decoded
    rc = decoder->get_packets(chunk.payload, length);
    if (is_refusal(rc) && first_report(*board, Stage::interpretation, rc))
        log_error("Packet interpretation error: {} (board {})", rc, ssid_);
}

}  // namespace palvex
