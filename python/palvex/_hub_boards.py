"""The boards registered with the library's hub mode in this process.

The library keeps every registration (``corvel_set_board``) for the life of
the process and hands each board's rows to its registered context in every
later session. A board's row buffer is that context, so it is made once per
process and never freed: a Hub that opens after another one closed takes
over the buffers of the boards registered before, with the rows not taken
yet. The buffers are made with the row length and capacity of the first Hub
that opened; later Hubs must ask for the same, and for the same descriptor,
since the library also keeps each board's decoder, made with the descriptor
of the session that met the board first.
"""
from __future__ import annotations

import threading

from ._libs import Native, ssid_bytes
from ._rows import RowBuffer
from .lowlevel import PalvexError, Result

__all__ = ["HubBoards", "BOARDS", "check_ssid"]


def check_ssid(ssid: str) -> bytes:
    """The SSID's bytes; ValueError for one the library cannot register a board under."""
    raw = ssid_bytes(ssid)
    if not raw:
        raise ValueError("an SSID has 1 to 6 characters: the empty SSID means all boards to the library, so a "
                         "board whose SSID is empty cannot be registered on its own")
    if len(raw) > 6 or b"\0" in raw:
        raise ValueError(f"an SSID has 1 to 6 characters (bytes), not {ssid!r}")
    return raw


class HubBoards:
    """Every board's row buffer, by SSID, and the one all-boards registration."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._buffers: dict[str, RowBuffer] = {}
        self._all_boards = False
        self._settings: tuple[str, int] | None = None  # (descriptor text, capacity), fixed by the first open

    def check(self, descriptor: str, capacity: int) -> None:
        """ValueError when a Hub of this process opened with other settings."""
        with self._lock:
            if self._settings is not None and self._settings != (descriptor, capacity):
                raise ValueError("a Hub of this process opened with another descriptor or capacity; the library "
                                 "keeps each board's decoder and row buffer for the life of the process, so every "
                                 f"Hub of the process uses the first one's (capacity {self._settings[1]})")

    def fix(self, descriptor: str, capacity: int) -> None:
        """The settings of every Hub of the process from now on (the first call counts)."""
        with self._lock:
            if self._settings is None:
                self._settings = (descriptor, capacity)

    def get(self, ssid: str) -> RowBuffer | None:
        with self._lock:
            return self._buffers.get(ssid)

    def register(self, nat: Native, ssid: str, row_length: int, capacity: int) -> RowBuffer:
        """The board's buffer, registered with the library on first use."""
        raw = check_ssid(ssid)
        with self._lock:
            buffer = self._buffers.get(ssid)
            if buffer is None:
                buffer = RowBuffer(nat, row_length, capacity)
                rc = nat.decoder.corvel_set_board(buffer.handle, raw)
                if rc != Result.OK:
                    buffer.destroy()  # refused: the library does not hold it
                    raise PalvexError("corvel_set_board", rc)
                self._buffers[ssid] = buffer
            return buffer

    def register_all_boards(self, nat: Native) -> None:
        """NULL as the all-boards context, once: the library addresses every
        board through it and hands it no rows."""
        with self._lock:
            if not self._all_boards:
                rc = nat.decoder.corvel_set_board(None, b"")
                if rc != Result.OK:
                    raise PalvexError("corvel_set_board", rc)
                self._all_boards = True


BOARDS = HubBoards()
