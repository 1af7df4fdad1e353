/*
 * PalvexCapture: the two loops over a capture that a host calling through an
 * FFI (Python's ctypes) cannot afford to run itself. A foreign call costs a
 * ctypes host about a microsecond, some twenty times what the decoder needs
 * for a whole chunk, so a capture decoded one call per chunk is bound by the
 * calls. Here one call walks the chunk headers of a capture held in memory,
 * and one call hands a list of chunks to interpret_data_fn.
 *
 * A host of the public interface only, and not even linked to the decoder:
 * the host hands in the interpret_data_fn it loaded, so the chunks reach the
 * very library (and single-board decoder) the host uses for everything else,
 * with the callback and context the host gives (palvex_rows_callback and a
 * row buffer, for the Python package).
 *
 * A capture is a sequence of hub chunks: 6-byte SSID (zero-padded), signed
 * 32-bit little-endian payload length, payload. A header whose length is
 * negative or longer than a hub receive can hold is skipped on its own, as
 * the hub read loop and palvex-decode skip it.
 *
 * Both functions write their outputs before they look at anything else,
 * refuse null pointers, and never read outside data[0, size).
 */
#include <stddef.h>
#include <stdint.h>

#include <palvex/palvex.h>

#if defined(_WIN32)
#  define PALVEX_CAPTURE_API __declspec(dllexport)
#else
#  define PALVEX_CAPTURE_API __attribute__((visibility("default")))
#endif

typedef int32_t (*interpret_fn)(const unsigned char* buffer, size_t length, data_callback_fn callback,
                                void* host_context);

/* Why palvex_capture_index returned. */
enum {
    PALVEX_CAPTURE_END = 0,     /* the walk reached the end of the data */
    PALVEX_CAPTURE_FULL = 1,    /* the arrays are full: call again from *position */
    PALVEX_CAPTURE_CUT = 2,     /* the chunk at *position is cut off by the end of the data */
    PALVEX_CAPTURE_REFUSED = 3  /* a null pointer where something must be read or written */
};

#define CHUNK_HEADER_SIZE 10u
/* The hub's receive buffer holds 500000 bytes; a longer chunk never arrives
 * whole, so its length counts as corrupted. */
#define MAX_CHUNK_PAYLOAD (500000 - (int64_t)CHUNK_HEADER_SIZE)

static int32_t chunk_length(const uint8_t* header) {
    const uint32_t u = (uint32_t)header[6] | (uint32_t)header[7] << 8 | (uint32_t)header[8] << 16 |
                       (uint32_t)header[9] << 24;
    return (int32_t)u;
}

/* The SSID field up to its first zero byte, as a number: byte i of the SSID
 * is bits 8i..8i+7. Equal SSIDs give equal keys, whatever follows the zero. */
static uint64_t ssid_key(const uint8_t* header) {
    uint64_t key = 0;
    for (unsigned i = 0; i < 6 && header[i] != 0; ++i) key |= (uint64_t)header[i] << (8 * i);
    return key;
}

/* Walks the chunks from byte *position on and records the header offset,
 * payload length and SSID key of each whole chunk, at most max_chunks of
 * them. *found
 * receives how many were recorded, *corrupted how many headers with an
 * impossible length were skipped, *position where the walk stopped. */
PALVEX_CAPTURE_API int32_t palvex_capture_index(const uint8_t* data, uint64_t size, uint64_t* position,
                                                uint64_t* offsets, int32_t* lengths, uint64_t* ssids,
                                                uint64_t max_chunks, uint64_t* found, uint64_t* corrupted) {
    if (found) *found = 0;
    if (corrupted) *corrupted = 0;
    if (!position || !found || !corrupted || (!data && size) || ((!offsets || !lengths || !ssids) && max_chunks))
        return PALVEX_CAPTURE_REFUSED;
    uint64_t at = *position;
    uint64_t n = 0;
    int32_t why = PALVEX_CAPTURE_END;
    while (at < size) {
        if (size - at < CHUNK_HEADER_SIZE) {
            why = PALVEX_CAPTURE_CUT;
            break;
        }
        const int32_t length = chunk_length(data + at);
        if (length < 0 || length > MAX_CHUNK_PAYLOAD) {
            ++*corrupted;
            at += CHUNK_HEADER_SIZE;
            continue;
        }
        if (size - at - CHUNK_HEADER_SIZE < (uint64_t)length) {
            why = PALVEX_CAPTURE_CUT;
            break;
        }
        if (n == max_chunks) {
            why = PALVEX_CAPTURE_FULL;
            break;
        }
        offsets[n] = at;
        lengths[n] = length;
        ssids[n] = ssid_key(data + at);
        ++n;
        at += CHUNK_HEADER_SIZE + (uint64_t)length;
    }
    *found = n;
    *position = at;
    return why;
}

/* One board's chunks lie far apart in a capture of many boards, and the
 * decoder's work on one chunk is too short for the processor to overlap the
 * next chunk's cache misses with it: fetching a few chunks ahead makes such
 * a capture decode about as fast as one board's chunks side by side. */
#define PREFETCH_AHEAD 8u
#define CACHE_LINE 64u
#define PREFETCH_BYTES 256u /* a WUA2 chunk, the longest, with its header */

static void prefetch_chunk(const uint8_t* data, uint64_t size, uint64_t at) {
    for (uint64_t b = 0; b < PREFETCH_BYTES && at < size && b < size - at; b += CACHE_LINE)
        __builtin_prefetch(data + at + b);
}

/* Hands the payloads of the chunks at offsets[0, count) (header offsets, as
 * palvex_capture_index records them) to `interpret` (the host's
 * interpret_data_fn) with `callback` and `context`, in order, and writes
 * each result code to results[i].
 * Returns how many chunks were handed over: all of them, or fewer when the
 * decoder answered PALVEX_ERR_NO_DESCRIPTOR (that chunk is counted; the
 * descriptor cannot serve the board, so the rest would be refused too), or
 * when a chunk does not lie inside data[0, size) (that one is not; nothing
 * is read). 0 when a pointer is null. */
PALVEX_CAPTURE_API uint64_t palvex_capture_feed(const uint8_t* data, uint64_t size, const uint64_t* offsets,
                                                const int32_t* lengths, uint64_t count, interpret_fn interpret,
                                                data_callback_fn callback, void* context, int32_t* results) {
    if (!data || !offsets || !lengths || !results || !interpret) return 0;
    for (uint64_t i = 0; i < count; ++i) {
        if (i + PREFETCH_AHEAD < count) prefetch_chunk(data, size, offsets[i + PREFETCH_AHEAD]);
        const uint64_t at = offsets[i];
        const int32_t length = lengths[i];
        if (at > size || size - at < CHUNK_HEADER_SIZE || length < 0 ||
            (uint64_t)length > size - at - CHUNK_HEADER_SIZE)
            return i;
        results[i] = interpret(data + at + CHUNK_HEADER_SIZE, (size_t)length, callback, context);
        if (results[i] == PALVEX_ERR_NO_DESCRIPTOR) return i + 1;
    }
    return count;
}
