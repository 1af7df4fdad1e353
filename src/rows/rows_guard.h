// The ABI wall of the row buffer: every export runs through guarded(), which
// refuses null pointers before the body can touch them and keeps every C++
// exception inside. There is no logger here (this library stands apart from
// the decoder's), so a refusal is reported by the result alone.
#pragma once

#include <type_traits>

#include "palvex/rows.h"
#include "row_ring.h"

namespace palvex::rows {

// The handle a host holds is the ring itself, seen as an opaque type.
inline palvex_rows* handle_of(RowRing* ring) {
    return static_cast<palvex_rows*>(static_cast<void*>(ring));
}

template <class Handle>
auto ring_of(Handle* handle) {
    if constexpr (std::is_const_v<Handle>)
        return static_cast<const RowRing*>(static_cast<const void*>(handle));
    else
        return static_cast<RowRing*>(static_cast<void*>(handle));
}

// Runs body() and returns its result, or `refused` when any of `required`
// is null or the body throws. Bodies change a ring only after the last
// thing that can throw (taking its lock), so a refused call changed nothing.
// Exports without a result have their bodies return 0 and drop it.
template <class R, class Body, class... Pointers>
R guarded(R refused, Body&& body, Pointers... required) noexcept {
    if (((required == nullptr) || ...)) return refused;
    try {
        return body();
    } catch (...) {
        return refused;
    }
}

}  // namespace palvex::rows
