/*
 * PalvexCapture — reads the hub chunks of a capture, a recording or a live
 * byte stream, past damage.
 *
 * Public C interface of libPalvexCapture.so (Linux) and PalvexCapture.dll
 * (Windows x64), a library of its own beside PalvexWrapper; it does not link
 * the decoder. This header compiles as C and as C++ and may be included
 * together with palvex.h and rows.h.
 *
 * A hub chunk is a 6-byte SSID (zero-padded), a signed 32-bit little-endian
 * payload length and the payload, one board buffer; a capture is chunks back
 * to back, exactly as on the wire, one board or many. The reader finds chunk
 * boundaries as the library's hub read loop does, with the same code: a
 * chunk is taken where its header is plausible (the length of a
 * configuration packet, of a WUA2 packet, or of the family its type word
 * names) and what follows it agrees; where bytes make no sense (a corrupted
 * length, junk, a chunk with bytes torn out) it searches for the next
 * boundary. Damage costs the chunks it hit, every later chunk is read, and
 * the bytes passed over are counted and never read as an SSID.
 *
 *   palvex_capture* c = palvex_capture_open_file("rec.bin");
 *   palvex_capture_chunk chunk;
 *   while (palvex_capture_next(c, &chunk) == PALVEX_CAPTURE_CHUNK) {
 *       if (chunk.skipped) report(chunk.offset - chunk.skipped, chunk.skipped);
 *       if (strcmp(chunk.ssid, wanted) == 0)     one board a pass: one single-board decoder
 *           interpret_data_fn(chunk.payload, chunk.length, on_row, ctx);
 *   }
 *   palvex_capture_tail tail;
 *   palvex_capture_tail_of(c, &tail);     the end: a chunk it cut off?
 *   palvex_capture_close(c);
 *
 * Three sources:
 *   - a byte range the host holds (palvex_capture_open_memory), read in
 *     place: nothing is copied, payloads point into the range;
 *   - a file (palvex_capture_open_file), read block by block;
 *   - a stream the host receives itself, from a hub or a pipe
 *     (palvex_capture_open_stream), whose bytes it pushes in as they come
 *     (palvex_capture_push) and ends with palvex_capture_finish.
 * Offsets count from the first byte of the source.
 *
 * Ownership: a reader belongs to the host, from its palvex_capture_open_*
 * to palvex_capture_close. A byte range given to palvex_capture_open_memory
 * stays the host's and must stay valid and unchanged until the reader is
 * closed; a chunk's payload then points into it and stays valid as long as
 * the range does. From a file or a stream, a payload lies in the reader's
 * own buffer and is valid until the next call on that reader (next, push,
 * index, close). Nothing the reader returns is to be freed by the host.
 *
 * Threads: a reader is used by one thread at a time; different readers are
 * independent.
 *
 * Results: a NULL reader or output is refused, never dereferenced
 * (PALVEX_CAPTURE_REFUSED, 0 or NULL), and outputs are written before
 * anything else can fail. No C++ exception leaves the library.
 */
#ifndef PALVEX_CAPTURE_H
#define PALVEX_CAPTURE_H

#include <stddef.h>
#include <stdint.h>

#include "palvex/palvex.h" /* data_callback_fn, for palvex_capture_feed */

#if defined(_WIN32)
#  if defined(PALVEX_CAPTURE_BUILDING_LIBRARY)
#    define PALVEX_CAPTURE_API __declspec(dllexport)
#  else
#    define PALVEX_CAPTURE_API __declspec(dllimport)
#  endif
#else
#  define PALVEX_CAPTURE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A reader; opaque to hosts. */
typedef struct palvex_capture palvex_capture;

/* One chunk. */
typedef struct palvex_capture_chunk {
    /* The SSID's bytes up to the first zero byte among its six, so 0 to 6 of
     * them, zero-terminated. Raw bytes from the wire: not always text. */
    char ssid[7];
    /* Payload bytes (at most 499990: a longer chunk never fits the hub's
     * receive buffer, and its length counts as corrupted). */
    uint32_t length;
    const uint8_t* payload;
    /* Where the chunk's header begins. */
    uint64_t offset;
    /* Bytes passed over right before this chunk: 0, or a damaged stretch
     * from offset - skipped to offset (junk, headers of corrupted length,
     * chunks whose bytes did not hold together). */
    uint64_t skipped;
} palvex_capture_chunk;

/* What the end of the input left once every chunk was read. */
typedef struct palvex_capture_tail {
    /* Bytes passed over after the last chunk, up to the cut chunk or the end. */
    uint64_t skipped;
    /* A chunk the end of the input cut off: where it begins, and how many of
     * its bytes are there (header included). cut_size 0: none was cut. */
    uint64_t cut_offset;
    uint64_t cut_size;
} palvex_capture_tail;

/* Results of palvex_capture_next (and palvex_capture_index). */
enum {
    PALVEX_CAPTURE_END = 0,        /* every chunk was read: see palvex_capture_tail_of */
    PALVEX_CAPTURE_CHUNK = 1,      /* a chunk was written to *out */
    PALVEX_CAPTURE_MORE = 2,       /* a stream needs more bytes: push them, or finish it */
    PALVEX_CAPTURE_READ_ERROR = -1,/* the file could not be read on; the chunks before stay valid */
    PALVEX_CAPTURE_REFUSED = -2    /* a NULL reader or output */
};

/* A reader of the `size` bytes at `data`. NULL when data is NULL with a
 * size, or when no memory is left. */
PALVEX_CAPTURE_API palvex_capture* palvex_capture_open_memory(const uint8_t* data, uint64_t size);

/* A reader of a file (a path as the C library's fopen takes it: on Windows
 * in the ANSI code page). NULL when the file cannot be opened or read (a
 * directory, say). */
PALVEX_CAPTURE_API palvex_capture* palvex_capture_open_file(const char* path);

/* A reader of bytes the host pushes in. The stream is taken to begin at a
 * chunk boundary, as a hub's does after its greeting; if it does not, the
 * first chunk found says how many bytes came before it. */
PALVEX_CAPTURE_API palvex_capture* palvex_capture_open_stream(void);

/* Copies up to `size` bytes into a stream reader and returns how many it
 * took: as many as its buffer has room for (after a palvex_capture_next
 * that said PALVEX_CAPTURE_MORE, at least one). Push what each receive
 * brought, as it came: a push that leaves room over is taken to end where
 * the sender's write ended, which confirms a chunk that ends there. 0 for a
 * reader of memory or of a file, after palvex_capture_finish, or for NULL. */
PALVEX_CAPTURE_API uint64_t palvex_capture_push(palvex_capture* capture, const uint8_t* data, uint64_t size);

/* No byte follows those pushed: the chunks still held are read out by
 * palvex_capture_next, which then ends. */
PALVEX_CAPTURE_API void palvex_capture_finish(palvex_capture* capture);

/* The next chunk, in the order of the input. PALVEX_CAPTURE_CHUNK with
 * *out written; otherwise *out is zeroed and the result says why there is
 * none: END (and it stays so), MORE (a stream), READ_ERROR or REFUSED. */
PALVEX_CAPTURE_API int32_t palvex_capture_next(palvex_capture* capture, palvex_capture_chunk* out);

/* Writes what the end left to *out and returns 1 once palvex_capture_next
 * has said END; before that, zeroes *out and returns 0 (-2 for NULL). */
PALVEX_CAPTURE_API int32_t palvex_capture_tail_of(const palvex_capture* capture, palvex_capture_tail* out);

/* For hosts whose every foreign call is costly (Python's ctypes, MATLAB):
 * the next chunks into arrays, up to `max_chunks` of them. Entry i holds a
 * chunk's header offset, payload length, SSID key (its bytes packed
 * little-endian: byte k in bits 8k..8k+7, zeros after its end, so equal
 * SSIDs give equal keys) and bytes skipped before it. *found gets how many
 * were written. Returns PALVEX_CAPTURE_CHUNK when the arrays are full (call
 * again for more), else what palvex_capture_next said when the chunks ran
 * out. Arrays may be NULL when max_chunks is 0. */
PALVEX_CAPTURE_API int32_t palvex_capture_index(palvex_capture* capture, uint64_t max_chunks, uint64_t* offsets,
                                                uint32_t* lengths, uint64_t* ssid_keys, uint64_t* skipped,
                                                uint64_t* found);

/* The decoder's interpret_data_fn, as a host loaded it. */
typedef int32_t (*palvex_capture_interpret_fn)(const unsigned char* buffer, size_t length,
                                               data_callback_fn callback, void* host_context);

/* Hands the payloads of chunks of the `size` bytes at `data`, by their header
 * offsets and lengths as palvex_capture_index wrote them (a board's, say),
 * to `interpret` with `callback` and `context`, in order, and writes each
 * result code to results[i]: one call for many chunks. A chunk the decoder
 * refuses costs only itself. Returns how many were handed over: `count`, or
 * fewer when a chunk does not lie inside the bytes (it and those after it
 * are not read). 0 when a pointer is NULL. */
PALVEX_CAPTURE_API uint64_t palvex_capture_feed(const uint8_t* data, uint64_t size, const uint64_t* offsets,
                                                const uint32_t* lengths, uint64_t count,
                                                palvex_capture_interpret_fn interpret, data_callback_fn callback,
                                                void* context, int32_t* results);

/* Closes a reader (a file's too). NULL is ignored. */
PALVEX_CAPTURE_API void palvex_capture_close(palvex_capture* capture);

#ifdef __cplusplus
}
#endif

#endif /* PALVEX_CAPTURE_H */
