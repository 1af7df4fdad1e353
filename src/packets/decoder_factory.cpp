#include "packets/decoder_factory.h"

#include <mutex>

#include "ground/logging.h"
#include "packets/descriptor_store.h"
#include "packets/3_imp_packet.h"
#include "packets/mes_packet.h"
#include "packets/wua2_packet.h"

namespace palvex {
namespace {

const char* family_name(COMM_TYPE type) {
    switch (type) {
        case WUA2: return "WUA2";
        case MES_2: return "MES_2";
        case IMP_3: return "IMP_3";
        case MES_4: return "MES_4";
        case MES_5: return "MES_5";
    }
    return "unknown";
}

}  // namespace

DecoderSlot make_decoder(COMM_TYPE type, const nlohmann::json& d, data_callback_fn cb) {
    switch (type) {
        case WUA2: return std::make_shared<WUA2_PACKET>(d, cb);
        case MES_2: return std::make_shared<MES_2_PACKET>(d, cb);
        case IMP_3: return std::make_shared<IMP_3_PACKET>(d, cb);
        case MES_4: return std::make_shared<MES_4_PACKET>(d, cb);
        case MES_5: return std::make_shared<MES_5_PACKET>(d, cb);
    }
    return nullptr;
}

namespace {

// A descriptor that cannot make a decoder, or cannot decode a family, would
// otherwise be reported for every buffer (a hub board switching families
// makes a decoder per switch); report each once per descriptor text instead.
class RefusalReports {
public:
    // True the first time `what` (a family, or 0 for "no decoder at all") is
    // refused under descriptor `generation`.
    bool first(std::uint64_t generation, int what) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (generation != generation_) {
            generation_ = generation;
            reported_ = 0;
        }
        const unsigned bit = 1u << what;
        const bool first_time = (reported_ & bit) == 0;
        reported_ |= bit;
        return first_time;
    }

private:
    std::mutex mutex_;
    std::uint64_t generation_ = 0;
    unsigned reported_ = 0;
};
// Never freed: the hub read loop may make decoders while a host exits.
RefusalReports& refusals = *new RefusalReports;

int create(COMM_TYPE type, data_callback_fn callback, void* host_context, DecoderSlot& slot,
           const char* stream_name) {
    const auto descriptor = current_descriptor();
    if (!descriptor) return PALVEX_ERR_NO_DESCRIPTOR;
    DecoderSlot decoder;
    try {
        decoder = make_decoder(type, descriptor->value, callback);
    } catch (const DescriptorError& e) {
        if (refusals.first(descriptor->generation, 0))
            log_error("Board descriptor cannot make a decoder: {}", e.what());
        return PALVEX_ERR_NO_DESCRIPTOR;
    }
    if (!decoder->layout_error().empty() && refusals.first(descriptor->generation, type))
        log_error("Board descriptor cannot decode {} packets: {}", family_name(type),
                  decoder->layout_error());
    if (stream_name != nullptr) decoder->set_stream_name(stream_name);
    decoder->host_context = host_context;
    slot = std::move(decoder);
    return 0;
}

}  // namespace

int init_data_handler_fn(const unsigned char* buffer, std::size_t length, data_callback_fn callback,
                         void* host_context, DecoderSlot& slot, const char* stream_name) {
    if (length == config_packet_length) return result_config;
    if (length == buffer_length_of(WUA2)) {
        if (slot && slot->comm_type == WUA2) return 0;
        return create(WUA2, callback, host_context, slot, stream_name);
    }
    if (buffer == nullptr || length < 2) return PALVEX_ERR_UNKNOWN_TYPE;
    const auto type_word = static_cast<std::int16_t>(buffer[0] | (buffer[1] << 8));
    if (slot && slot->comm_type == type_word) return 0;
    switch (type_word) {
        case 0: return result_type_word_zero;
        case MES_2:
        case IMP_3:
        case MES_4:
        case MES_5: return create(static_cast<COMM_TYPE>(type_word), callback, host_context, slot, stream_name);
        default: return PALVEX_ERR_UNKNOWN_TYPE;
    }
}

}  // namespace palvex
