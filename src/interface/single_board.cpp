#include "interface/single_board.h"

#include "packets/decoder_factory.h"
#include "packets/descriptor_store.h"

namespace palvex {
namespace {

// The single-board decoder: made by the first buffer of a family, replaced
// by a buffer of another, destroyed by release().
DecoderSlot global_packet_handler;

}  // namespace

std::int32_t interpret_buffer(const unsigned char* buffer, std::size_t length,
                              data_callback_fn callback, void* host_context) {
    if (!descriptor_is_set()) return PALVEX_ERR_NO_DESCRIPTOR;
    if (buffer == nullptr) return PALVEX_ERR_UNKNOWN_TYPE;
    DecoderSlot& decoder = global_packet_handler;
    int rc = init_data_handler_fn(buffer, length, callback, host_context, decoder);
    if (rc == result_type_word_zero || rc == result_config) return 0;
    if (rc != 0) return rc;
    if (!decoder) return PALVEX_ERR_NO_CONTEXT;
    rc = decoder->get_packets(buffer, length);
    return rc < 0 ? 0 : rc;
}

std::int32_t release_decoder() {
    global_packet_handler.reset();
    return 0;
}

std::int32_t write_command(const unsigned char* command, std::size_t length,
                           write_callback_fn callback, void* host_context) {
    if (command == nullptr && length != 0) return PALVEX_ERR_NO_INSTRUCTION;
    if (const DecoderSlot& decoder = global_packet_handler) {
        if (decoder->write_callback == nullptr) decoder->write_callback = callback;
        return decoder->write_data_w_callback(command, length);
    }
    if (callback == nullptr) return PALVEX_ERR_NO_WRITE_CALLBACK;
    const Instruction instruction = make_instruction(command, length);
    callback(host_context, instruction.bytes.data(), instruction.length);
    return 0;
}

}  // namespace palvex
