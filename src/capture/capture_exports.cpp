// The exports of the capture reader. Each is one guarded call: the first
// argument of guarded() is what the host gets when the call is refused, the
// pointers after the body are the ones that must not be null.
#include "palvex/capture.h"

#include <limits>
#include <type_traits>

#include "capture_reader.h"
#include "ground/standalone_guard.h"

using palvex::capture::CaptureReader;
using palvex::standalone::guarded;

static_assert(std::is_same_v<palvex_capture_interpret_fn, decltype(&interpret_data_fn)>,
              "palvex_capture_feed must take the decoder's interpret_data_fn as it is");

namespace {

palvex_capture* handle_of(std::unique_ptr<CaptureReader> reader) {
    return palvex::standalone::handle_of<palvex_capture>(reader.release());
}

template <class Handle>
auto reader_of(Handle* handle) {
    return palvex::standalone::object_of<CaptureReader>(handle);
}

// The key of an SSID: its bytes, little-endian, zeros after its end.
std::uint64_t key_of(const char (&ssid)[7]) {
    std::uint64_t key = 0;
    for (unsigned i = 0; i < 6 && ssid[i] != 0; ++i) key |= std::uint64_t{static_cast<unsigned char>(ssid[i])} << (8 * i);
    return key;
}

// One board's chunks lie far apart in a capture of many boards, and the
// decoder's work on one chunk is too short for the processor to overlap the
// next chunk's cache misses with it: fetching a few chunks ahead makes such
// a capture decode about as fast as one board's chunks side by side.
constexpr std::uint64_t prefetch_ahead = 8;
constexpr std::uint64_t cache_line = 64;
constexpr std::uint64_t prefetch_bytes = 256;  // a WUA2 chunk, the longest, with its header

void prefetch_chunk(const std::uint8_t* data, std::uint64_t size, std::uint64_t at) {
    for (std::uint64_t b = 0; b < prefetch_bytes && at < size && b < size - at; b += cache_line)
        __builtin_prefetch(data + at + b);
}

}  // namespace

extern "C" {

PALVEX_CAPTURE_API palvex_capture* palvex_capture_open_memory(const uint8_t* data, uint64_t size) {
    if (data == nullptr && size != 0) return nullptr;
    if (size > std::numeric_limits<std::size_t>::max()) return nullptr;
    return guarded<palvex_capture*>(nullptr, [&] {
        return handle_of(CaptureReader::of_memory(data, static_cast<std::size_t>(size)));
    });
}

PALVEX_CAPTURE_API palvex_capture* palvex_capture_open_file(const char* path) {
    return guarded<palvex_capture*>(nullptr, [&] { return handle_of(CaptureReader::of_file(path)); }, path);
}

PALVEX_CAPTURE_API palvex_capture* palvex_capture_open_stream(void) {
    return guarded<palvex_capture*>(nullptr, [&] { return handle_of(CaptureReader::of_stream()); });
}

PALVEX_CAPTURE_API uint64_t palvex_capture_push(palvex_capture* capture, const uint8_t* data, uint64_t size) {
    if (size == 0) return 0;
    const std::size_t n = size > std::numeric_limits<std::size_t>::max() ? std::numeric_limits<std::size_t>::max()
                                                                         : static_cast<std::size_t>(size);
    return guarded(uint64_t{0}, [&] { return uint64_t{reader_of(capture)->push(data, n)}; }, capture, data);
}

PALVEX_CAPTURE_API void palvex_capture_finish(palvex_capture* capture) {
    guarded(0, [&] { reader_of(capture)->finish(); return 0; }, capture);
}

PALVEX_CAPTURE_API int32_t palvex_capture_next(palvex_capture* capture, palvex_capture_chunk* out) {
    if (out != nullptr) *out = {};
    return guarded(int32_t{PALVEX_CAPTURE_REFUSED}, [&] { return int32_t{reader_of(capture)->next(*out)}; },
                   capture, out);
}

PALVEX_CAPTURE_API int32_t palvex_capture_tail_of(const palvex_capture* capture, palvex_capture_tail* out) {
    if (out != nullptr) *out = {};
    return guarded(int32_t{PALVEX_CAPTURE_REFUSED}, [&] { return int32_t{reader_of(capture)->tail(*out)}; },
                   capture, out);
}

PALVEX_CAPTURE_API int32_t palvex_capture_index(palvex_capture* capture, uint64_t max_chunks, uint64_t* offsets,
                                                uint32_t* lengths, uint64_t* ssid_keys, uint64_t* skipped,
                                                uint64_t* found) {
    if (found != nullptr) *found = 0;
    if (max_chunks != 0 && (!offsets || !lengths || !ssid_keys || !skipped)) return PALVEX_CAPTURE_REFUSED;
    return guarded(int32_t{PALVEX_CAPTURE_REFUSED}, [&] {
        CaptureReader& reader = *reader_of(capture);
        palvex_capture_chunk c{};
        for (uint64_t& n = *found; n < max_chunks; ++n) {
            const int why = reader.next(c);
            if (why != PALVEX_CAPTURE_CHUNK) return int32_t{why};
            offsets[n] = c.offset;
            lengths[n] = c.length;
            ssid_keys[n] = key_of(c.ssid);
            skipped[n] = c.skipped;
        }
        return int32_t{PALVEX_CAPTURE_CHUNK};
    }, capture, found);
}

PALVEX_CAPTURE_API uint64_t palvex_capture_feed(const uint8_t* data, uint64_t size, const uint64_t* offsets,
                                                const uint32_t* lengths, uint64_t count,
                                                palvex_capture_interpret_fn interpret, data_callback_fn callback,
                                                void* context, int32_t* results) {
    constexpr uint64_t header = palvex::ChunkStream::header_size;
    return guarded(uint64_t{0}, [&] {
        for (uint64_t i = 0; i < count; ++i) {
            if (i + prefetch_ahead < count) prefetch_chunk(data, size, offsets[i + prefetch_ahead]);
            const uint64_t at = offsets[i];
            if (at > size || size - at < header || lengths[i] > size - at - header) return i;
            results[i] = interpret(data + at + header, lengths[i], callback, context);
        }
        return count;
    }, data, offsets, lengths, interpret, results);
}

PALVEX_CAPTURE_API void palvex_capture_close(palvex_capture* capture) {
    guarded(0, [&] { delete reader_of(capture); return 0; }, capture);
}

}  // extern "C"
