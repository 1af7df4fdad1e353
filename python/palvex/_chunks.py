"""A capture's chunks through libPalvexCapture, and the words for its damage.

The capture reader finds chunk boundaries as the hub's read loop does: a
corrupted length, junk or a chunk with bytes torn out costs the chunks it
hit, every later chunk is read, the bytes passed over are counted and never
taken for an SSID, and the end says whether it cut a chunk off. Each damaged
stretch is named by its byte offset and length, in palvex-decode's words.
"""
from __future__ import annotations

import ctypes
import os
import warnings
from collections.abc import Iterator

import numpy as np

from ._libs import CAPTURE_CHUNK, CAPTURE_END, CaptureChunk, CaptureTail, Native, native

__all__ = ["CaptureWarning", "damage_messages", "read_chunks"]


class CaptureWarning(UserWarning):
    """A capture that was not decoded whole: a damaged stretch passed over
    (its offset and length), a chunk cut off by the end of the file, or
    chunks of a family the descriptor cannot serve."""


def _bytes(n: int) -> str:
    return f"{n} byte{'' if n == 1 else 's'}"


def damage_messages(name: str, offsets: np.ndarray, skipped: np.ndarray, tail: CaptureTail,
                    size: int) -> list[str]:
    """One message per damaged stretch, in the order of the file, and one for
    a chunk the end cut off. ``offsets`` and ``skipped`` are the header
    offsets of the chunks and the bytes passed over before each."""
    damaged = np.flatnonzero(skipped)
    stretches = [(int(offsets[i] - skipped[i]), int(skipped[i])) for i in damaged]
    if tail.skipped:
        end = tail.cut_offset if tail.cut_size else size
        stretches.append((end - tail.skipped, tail.skipped))
    out = [f"capture {name}: skipped {_bytes(n)} at byte {at}, where no chunk boundary was found"
           for at, n in stretches]
    if tail.cut_size:
        out.append(f"truncated capture {name}: the chunk at byte {tail.cut_offset} is cut off by the end "
                   f"({_bytes(tail.cut_size)} of it present); the chunks before it are decoded")
    return out


def read_chunks(path: str | os.PathLike, nat: Native | None = None) -> Iterator[tuple[bytes, bytes, int]]:
    """Yields (SSID bytes, payload, header offset) of every chunk of a capture
    file, one foreign call per chunk, and warns (:class:`CaptureWarning`) of
    its damage once the end is reached.

    Raises
    ------
    OSError
        When the file cannot be opened or read.
    """
    nat = nat or native()
    name = os.fspath(path)
    reader = nat.capture.palvex_capture_open_file(os.fsencode(name))
    if not reader:
        raise OSError(f"cannot read capture {name}")
    chunk, tail = CaptureChunk(), CaptureTail()
    offsets, skipped = [], []
    try:
        while (why := nat.capture.palvex_capture_next(reader, ctypes.byref(chunk))) == CAPTURE_CHUNK:
            if chunk.skipped:
                offsets.append(chunk.offset)
                skipped.append(chunk.skipped)
            yield chunk.ssid, ctypes.string_at(chunk.payload, chunk.length), chunk.offset
        if why != CAPTURE_END:
            raise OSError(f"cannot read capture {name} to its end")
        nat.capture.palvex_capture_tail_of(reader, ctypes.byref(tail))
    finally:
        nat.capture.palvex_capture_close(reader)
    for message in damage_messages(name, np.array(offsets, np.uint64), np.array(skipped, np.uint64), tail,
                                   os.path.getsize(name)):
        warnings.warn(message, CaptureWarning, stacklevel=2)
