"""A row buffer of libPalvexRows, seen as numpy arrays."""
from __future__ import annotations

import numpy as np

from ._libs import Native

__all__ = ["RowBuffer"]


class RowBuffer:
    """A ring of ``capacity`` rows of ``row_length`` doubles.

    Its ``handle`` is what the decoder is given as the host context, with
    ``palvex_rows_callback`` as the data callback; rows then go in without
    any Python code. Every method may be called while the decoder appends.
    ``destroy`` must wait until no decoder can deliver to the buffer any more
    (after ``release()``; in hub mode after the read loop returned).
    """

    def __init__(self, native: Native, row_length: int, capacity: int) -> None:
        self._rows = native.rows
        self.row_length = int(row_length)
        self.capacity = int(capacity)
        self.handle: int | None = self._rows.palvex_rows_create(self.row_length, self.capacity)
        if not self.handle:
            raise MemoryError(f"no row buffer of {self.capacity} rows of {self.row_length} doubles")

    def _live(self) -> int:
        if self.handle is None:
            raise ValueError("the row buffer was destroyed")
        return self.handle

    def take_into(self, out: np.ndarray, start: int) -> int:
        """Moves the buffer's rows, oldest first, into ``out[start:]`` (C-contiguous float64); returns how many."""
        room = out.shape[0] - start
        if room <= 0:
            return 0
        address = out.ctypes.data + start * self.row_length * out.itemsize
        return int(self._rows.palvex_rows_take(self._live(), address, room))

    def take(self) -> np.ndarray:
        """Everything the buffer holds, oldest first, removed from it."""
        out = np.empty((self.count(), self.row_length))
        return out[:self.take_into(out, 0)]

    def peek_newest(self, n: int) -> np.ndarray:
        """The newest ``min(n, count)`` rows, oldest of them first, left in place."""
        out = np.empty((max(0, int(n)), self.row_length))
        if out.shape[0] == 0:
            return out
        return out[:int(self._rows.palvex_rows_peek_newest(self._live(), out.ctypes.data, out.shape[0]))]

    def count(self) -> int:
        return int(self._rows.palvex_rows_count(self._live()))

    def overwritten(self) -> int:
        return int(self._rows.palvex_rows_overwritten(self._live()))

    def refused(self) -> int:
        return int(self._rows.palvex_rows_refused(self._live()))

    def destroy(self) -> None:
        if self.handle is not None:
            self._rows.palvex_rows_destroy(self.handle)
            self.handle = None
