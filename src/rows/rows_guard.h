// The ABI wall of the row buffer: the guard of the libraries that stand
// apart from the decoder, and the handle a host holds.
#pragma once

#include "ground/standalone_guard.h"
#include "palvex/rows.h"
#include "row_ring.h"

namespace palvex::rows {

inline palvex_rows* handle_of(RowRing* ring) { return standalone::handle_of<palvex_rows>(ring); }

template <class Handle>
auto ring_of(Handle* handle) {
    return standalone::object_of<RowRing>(handle);
}

// Bodies change a ring only after the last thing that can throw (taking
// its lock), so a refused call changed nothing.
using standalone::guarded;

}  // namespace palvex::rows
