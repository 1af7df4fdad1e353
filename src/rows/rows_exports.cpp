// The exports of the row buffer. Each is one guarded call: the first
// argument of guarded() is what the host gets when the call is refused, the
// pointers after the body are the ones that must not be null.
#include "palvex/rows.h"

#include <type_traits>

#include "palvex/palvex.h"  // data_callback_fn only: this library does not link the decoder
#include "rows_guard.h"

using namespace palvex::rows;

static_assert(std::is_same_v<decltype(&palvex_rows_callback), data_callback_fn>,
              "palvex_rows_callback must be usable wherever the decoder takes a data callback");

extern "C" {

PALVEX_ROWS_API palvex_rows* palvex_rows_create(size_t row_length, size_t capacity) {
    return guarded<palvex_rows*>(nullptr, [&] { return handle_of(RowRing::create(row_length, capacity).release()); });
}

PALVEX_ROWS_API void palvex_rows_destroy(palvex_rows* buffer) {
    guarded(0, [&] { delete ring_of(buffer); return 0; }, buffer);
}

PALVEX_ROWS_API void palvex_rows_callback(void* buffer, const double* row, size_t count) {
    // A null row is not refused here: the ring counts it as a refused row.
    guarded(0, [&] { ring_of(buffer)->append(row, count); return 0; }, buffer);
}

PALVEX_ROWS_API size_t palvex_rows_take(palvex_rows* buffer, double* out, size_t max_rows) {
    return guarded(size_t{0}, [&] { return ring_of(buffer)->take(out, max_rows); }, buffer, out);
}

PALVEX_ROWS_API size_t palvex_rows_peek_newest(const palvex_rows* buffer, double* out, size_t max_rows) {
    return guarded(size_t{0}, [&] { return ring_of(buffer)->peek_newest(out, max_rows); }, buffer, out);
}

PALVEX_ROWS_API size_t palvex_rows_count(const palvex_rows* buffer) {
    return guarded(size_t{0}, [&] { return ring_of(buffer)->size(); }, buffer);
}

PALVEX_ROWS_API uint64_t palvex_rows_overwritten(const palvex_rows* buffer) {
    return guarded(uint64_t{0}, [&] { return ring_of(buffer)->overwritten(); }, buffer);
}

PALVEX_ROWS_API uint64_t palvex_rows_refused(const palvex_rows* buffer) {
    return guarded(uint64_t{0}, [&] { return ring_of(buffer)->refused(); }, buffer);
}

PALVEX_ROWS_API size_t palvex_rows_row_length(const palvex_rows* buffer) {
    return guarded(size_t{0}, [&] { return ring_of(buffer)->row_length(); }, buffer);
}

PALVEX_ROWS_API size_t palvex_rows_capacity(const palvex_rows* buffer) {
    return guarded(size_t{0}, [&] { return ring_of(buffer)->capacity(); }, buffer);
}

}  // extern "C"
