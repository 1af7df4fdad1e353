/*
 * PalvexRows — a row buffer that collects decoded rows for hosts that want
 * them in blocks rather than one call at a time.
 *
 * Public C interface of libPalvexRows.so (Linux) and PalvexRows.dll
 * (Windows x64), a library of its own beside PalvexWrapper. This header
 * compiles as C and as C++ and may be included together with palvex.h.
 *
 * How a host uses it: palvex_rows_callback is a data callback, so the
 * decoder fills a buffer without any host code running per row.
 *
 *   palvex_rows* rows = palvex_rows_create(32, 100000);    32 = "num_rows"
 *
 *   single board:  interpret_data_fn(packet, length, palvex_rows_callback, rows);
 *   hub mode:      corvel_set_pcallback(palvex_rows_callback);
 *                  corvel_set_board(rows, "A1B2C3");       one buffer per context
 *   (the hub has one data callback for all boards: with this one, every
 *   context registered with corvel_set_board must be a buffer)
 *
 *   everything new since the last take, oldest first:
 *                  size_t n = palvex_rows_take(rows, array, max_rows);
 *   the latest 500 rows for a live plot, leaving them in place:
 *                  size_t m = palvex_rows_peek_newest(rows, array, 500);
 *
 * A buffer is a ring of `capacity` rows of `row_length` doubles each, kept
 * oldest first. When it is full, a new row overwrites the oldest one: the
 * ring keeps the newest rows, and every overwritten row is counted
 * (palvex_rows_overwritten), so a host that falls behind can tell how many
 * it missed. A row whose length is not the buffer's is not stored but
 * counted (palvex_rows_refused); that is what a buffer made for another
 * descriptor's "num_rows" sees.
 *
 * Ownership: the buffer belongs to the host, from palvex_rows_create to
 * palvex_rows_destroy. Its memory is reserved at creation; appending, taking
 * and peeking never allocate. Rows handed to palvex_rows_callback are
 * copied in during the call. Output arrays belong to the host and must hold
 * max_rows * row_length doubles; rows are written there packed, one after
 * the other, oldest first.
 *
 * Threads: every function may be called from any thread, at the same time
 * as any other, on the same buffer: the hub read loop appends while a host
 * thread takes or peeks. Each call is atomic with respect to the others (a
 * take never sees half a row). The one exception is palvex_rows_destroy: no
 * other call on that buffer may run or follow, and no decoder may still
 * deliver to it — destroy a single-board buffer after release(), a hub
 * buffer after corvel_read_thread() has returned (hub decoders keep their
 * contexts until the process ends, but deliver only while the loop runs).
 *
 * Results: a NULL buffer is refused, never dereferenced: functions that
 * return a number return 0 for it, the others do nothing. No C++ exception
 * leaves the library; a call that cannot complete (a lock that cannot be
 * taken) changes nothing and returns 0.
 */
#ifndef PALVEX_ROWS_H
#define PALVEX_ROWS_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(PALVEX_ROWS_BUILDING_LIBRARY)
#    define PALVEX_ROWS_API __declspec(dllexport)
#  else
#    define PALVEX_ROWS_API __declspec(dllimport)
#  endif
#else
#  define PALVEX_ROWS_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A row buffer; opaque to hosts. */
typedef struct palvex_rows palvex_rows;

/* Creates a buffer of `capacity` rows of `row_length` doubles each.
 * NULL when either is 0, when capacity * row_length doubles cannot be
 * addressed, or when the memory cannot be allocated. */
PALVEX_ROWS_API palvex_rows* palvex_rows_create(size_t row_length, size_t capacity);

/* Destroys a buffer (see Threads above). NULL is ignored. */
PALVEX_ROWS_API void palvex_rows_destroy(palvex_rows* buffer);

/* A data_callback_fn (palvex.h): appends `row` to the palvex_rows* given as
 * the host context. A row of `count` != row_length doubles, or a NULL row,
 * is refused and counted; a NULL buffer is ignored. When the buffer is full
 * the oldest row is overwritten and counted. */
PALVEX_ROWS_API void palvex_rows_callback(void* buffer, const double* row, size_t count);

/* Moves up to `max_rows` of the oldest rows into `out` and removes them from
 * the buffer. Returns the number of rows written: 0 when the buffer is
 * empty, `max_rows` is 0, or `buffer` or `out` is NULL. */
PALVEX_ROWS_API size_t palvex_rows_take(palvex_rows* buffer, double* out, size_t max_rows);

/* Copies the newest min(max_rows, count) rows into `out`, the oldest of them
 * first, and leaves the buffer as it is. Returns the number of rows written:
 * 0 when the buffer is empty, `max_rows` is 0, or `buffer` or `out` is
 * NULL. */
PALVEX_ROWS_API size_t palvex_rows_peek_newest(const palvex_rows* buffer, double* out, size_t max_rows);

/* Rows held now, at most the capacity. */
PALVEX_ROWS_API size_t palvex_rows_count(const palvex_rows* buffer);

/* Rows overwritten before anyone took them, since creation. */
PALVEX_ROWS_API uint64_t palvex_rows_overwritten(const palvex_rows* buffer);

/* Rows refused (wrong length or NULL), since creation. */
PALVEX_ROWS_API uint64_t palvex_rows_refused(const palvex_rows* buffer);

/* The buffer's row length and capacity, as created. */
PALVEX_ROWS_API size_t palvex_rows_row_length(const palvex_rows* buffer);
PALVEX_ROWS_API size_t palvex_rows_capacity(const palvex_rows* buffer);

#ifdef __cplusplus
}
#endif

#endif /* PALVEX_ROWS_H */
