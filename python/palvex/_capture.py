"""Decoding a capture file into one array per board.

No Python code runs per row or per chunk: libPalvexCapture reads the chunks
of the memory-mapped file in place (finding their boundaries past damage, as
the hub's read loop does) and records them in one call per block, then hands
a board's chunks to ``interpret_data_fn`` in one call per block, the decoder
appends the rows to a row buffer through ``palvex_rows_callback``, and each
block's rows are taken into the result array in one call.
"""
from __future__ import annotations

import ctypes
import mmap
import os
import warnings
from dataclasses import dataclass, field
from typing import Mapping

import numpy as np

from ._chunks import CaptureWarning, damage_messages
from ._descriptor import Descriptor, DescriptorLike, parse_descriptor
from ._libs import CAPTURE_CHUNK, CaptureTail, Native, native, ssid_text
from ._process import check_single_board_descriptor
from ._rows import RowBuffer
from .lowlevel import CommType, Result

__all__ = ["CaptureWarning", "Recording", "decode_capture"]

CHUNK_HEADER_SIZE = 10
WUA2_LENGTH = 216          # a WUA2 buffer has no type word; its length tells it
_INDEX_BLOCK = 1 << 20     # chunks recorded per call
_BLOCK_ROWS = 1 << 14      # rows a board's buffer holds while its chunks go in (4 MiB at 32 columns)


@dataclass(frozen=True, eq=False)
class Recording:
    """The decoded rows of one board of a capture.

    Attributes
    ----------
    ssid : str
        The board's SSID.
    family : CommType or None
        The packet family of the board's first chunk that tells one (None
        when no chunk does).
    columns : tuple of str
        Column names, as palvex-decode's CSV header has them.
    data : numpy.ndarray
        float64, shape (rows, columns): every row the library delivered,
        filler rows included, in order.
    filler : numpy.ndarray
        bool, shape (rows,): True for rows the library filled in for lost
        packets, read from the library's mark in the ``"filler_channel"``
        column (a descriptor without one gets one at the end of the row), so
        a board whose channels do not change is never taken for a loss.
    rejected : int
        Chunks the library refused (wrong length, unknown type word).
    refused : tuple of CommType
        The families of the board's chunks that the descriptor cannot serve
        (result code 6), in the order first met; those chunks are not
        decoded, the board's other chunks are. Empty when there are none.
    groups : mapping of str to tuple of int
        The columns of each channel group, from the descriptor
        (:attr:`Descriptor.groups`): which columns a family writes.
    """

    ssid: str
    family: CommType | None
    columns: tuple[str, ...]
    data: np.ndarray
    filler: np.ndarray
    rejected: int = 0
    refused: tuple[CommType, ...] = ()
    groups: Mapping[str, tuple[int, ...]] = field(default_factory=dict)

    def __len__(self) -> int:
        return self.data.shape[0]

    def __getitem__(self, column: str) -> np.ndarray:
        """The column named ``column`` (a view into ``data``)."""
        return self.data[:, self.columns.index(column)]

    def __repr__(self) -> str:
        family = self.family.name if self.family is not None else "?"
        return (f"Recording(ssid={self.ssid!r}, family={family}, rows={len(self)}, "
                f"fillers={int(self.filler.sum())}, columns={len(self.columns)})")


def _map(path: str) -> np.ndarray:
    """The file's bytes, mapped read-only (its pages faulted in at once where
    the system can: the walk and the decoder touch every one of them)."""
    with open(path, "rb") as f:
        if os.fstat(f.fileno()).st_size == 0:
            return np.empty(0, dtype=np.uint8)
        flags = mmap.MAP_SHARED | getattr(mmap, "MAP_POPULATE", 0)
        return np.frombuffer(mmap.mmap(f.fileno(), 0, flags=flags, prot=mmap.PROT_READ), dtype=np.uint8)


def _index(nat: Native, data: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray, CaptureTail]:
    """Header offsets, payload lengths, SSID keys and bytes skipped before
    each of the capture's chunks, and what the end left."""
    size = data.shape[0]
    reader = nat.capture.palvex_capture_open_memory(data.ctypes.data, size)
    if not reader:
        raise MemoryError("no capture reader")
    block = max(1, min(_INDEX_BLOCK, size // CHUNK_HEADER_SIZE + 1))
    parts: list[tuple[np.ndarray, ...]] = []
    tail, found = CaptureTail(), ctypes.c_uint64(0)
    try:
        while True:
            o, n = np.empty(block, np.uint64), np.empty(block, np.uint32)
            k, s = np.empty(block, np.uint64), np.empty(block, np.uint64)
            why = nat.capture.palvex_capture_index(reader, block, o.ctypes.data, n.ctypes.data, k.ctypes.data,
                                                   s.ctypes.data, ctypes.byref(found))
            parts.append(tuple(a[:found.value] for a in (o, n, k, s)))
            if why != CAPTURE_CHUNK:
                break
        nat.capture.palvex_capture_tail_of(reader, ctypes.byref(tail))
    finally:
        nat.capture.palvex_capture_close(reader)
    offsets, lengths, keys, skipped = (np.concatenate(column) for column in zip(*parts))
    return offsets, lengths, keys, skipped, tail


def _ssid(key: np.uint64) -> str:
    return ssid_text(int(key).to_bytes(8, "little").rstrip(b"\0"))


def _families(data: np.ndarray, offsets: np.ndarray, lengths: np.ndarray) -> np.ndarray:
    """The family each chunk's buffer tells (0 where it tells none)."""
    typed = (lengths >= 2) & (lengths != WUA2_LENGTH)
    at = offsets[typed] + CHUNK_HEADER_SIZE
    family = np.zeros(offsets.shape[0], dtype=np.int32)
    family[typed] = data[at].astype(np.int32) | data[at + 1].astype(np.int32) << 8
    family[lengths == WUA2_LENGTH] = CommType.WUA2
    family[(family < CommType.WUA2) | (family > CommType.MES_5)] = 0
    return family


def _family(data: np.ndarray, offsets: np.ndarray, lengths: np.ndarray) -> CommType | None:
    """The family of the first of the chunks whose buffer tells one."""
    for start in range(0, offsets.shape[0], 64):  # almost always settled by the first chunk
        told = _families(data, offsets[start:start + 64], lengths[start:start + 64])
        told = told[told != 0]
        if told.size:
            return CommType(int(told[0]))
    return None


def _feed(nat: Native, data: np.ndarray, offsets: np.ndarray, lengths: np.ndarray, num_rows: int,
          capacity: int) -> tuple[np.ndarray, np.ndarray, int]:
    """One board's chunks through a fresh decoder into a buffer of
    ``capacity`` rows, drained after every block of chunks.

    Returns the rows, the result code of every chunk, and 0; or,
    when a block made more rows than the buffer holds (a long gap fills in
    many rows from one chunk), empty arrays and that block's row count.
    """
    ring = RowBuffer(nat, num_rows, capacity)
    try:
        nat.decoder.release()
        n = offsets.shape[0]
        # Two rows a packet, and room for the filler rows of one packet lost
        # in nine: growing means copying every row so far, and np.empty
        # leaves the pages no row is written to unallocated.
        out = np.empty((2 * n + n // 4 + 64, num_rows))
        results = np.zeros(n, dtype=np.int32)
        step = max(1, capacity // 4)
        filled = fed = 0
        while fed < n:
            k = min(step, n - fed)
            done = nat.capture.palvex_capture_feed(
                data.ctypes.data, data.shape[0], offsets[fed:].ctypes.data, lengths[fed:].ctypes.data, k,
                nat.interpret_data_fn, nat.palvex_rows_callback, ring.handle, results[fed:].ctypes.data)
            fed += done
            if ring.overwritten():
                return np.empty((0, num_rows)), results[:0], ring.count() + ring.overwritten()
            if ring.count() > out.shape[0] - filled:
                grown = np.empty((max(2 * out.shape[0], filled + ring.count()), num_rows))
                grown[:filled] = out[:filled]
                out = grown
            filled += ring.take_into(out, filled)
            if done < k:  # never: the chunks were found in these very bytes
                raise RuntimeError(f"a chunk at byte {offsets[fed]} lies outside the capture")
        return out[:filled], results, 0
    finally:
        nat.decoder.release()  # before the buffer goes: the decoder holds it as its context
        ring.destroy()


def _decode_board(nat: Native, data: np.ndarray, offsets: np.ndarray, lengths: np.ndarray,
                  num_rows: int) -> tuple[np.ndarray, np.ndarray]:
    capacity = max(64, min(_BLOCK_ROWS, 2 * offsets.shape[0] + 64))
    while True:
        rows, results, block_rows = _feed(nat, data, offsets, lengths, num_rows, capacity)
        if block_rows == 0:
            return rows, results
        # Rare: a gap of more than a quarter of the buffer. The decoder's
        # loss accounting depends on all the board's packets before, so
        # the board starts over, with room for that block twice over.
        capacity = max(2 * capacity, 2 * block_rows)


def decode_capture(path: str | os.PathLike, descriptor: DescriptorLike = None) -> dict[str, Recording]:
    """Decodes every board of a capture file.

    A capture is a sequence of hub chunks as on the wire (6-byte SSID,
    signed 32-bit little-endian length, payload), one board or many
    interleaved. The library has one single-board decoder, so the boards
    are decoded one after the other, each by a fresh decoder
    (``release()`` in between), as palvex-decode does: the rows are those
    of palvex-decode's CSV, bit for bit.

    Parameters
    ----------
    path : str or path-like
        The capture file. It is memory-mapped, not copied into memory.
    descriptor : str, mapping, path-like or None
        The board descriptor (JSON text, a mapping, or a JSON file); None
        for the default descriptor.

    Returns
    -------
    dict of str to Recording
        One recording per SSID, in the order the boards first appear.

    Damage costs the chunks it hit: the reader finds the chunk boundaries
    after a corrupted length, junk or a chunk with bytes torn out as the
    hub's read loop does, and every later chunk is decoded; no board is
    made up from the bytes passed over. A chunk of a family the descriptor
    cannot serve costs that chunk: the board's other chunks are decoded.

    Warns
    -----
    CaptureWarning
        Once per damaged stretch, with its byte offset and length; when a
        chunk is cut off by the end of the file; once per board and family
        the descriptor cannot serve.

    Raises
    ------
    ValueError
        For a descriptor that is not usable.
    RuntimeError
        When a :class:`Hub` of this process runs with another descriptor
        (the descriptor is process-wide, and the hub's decoders of boards
        still to appear would get this one).
    """
    d: Descriptor = parse_descriptor(descriptor)
    nat = native()
    path = os.fspath(path)
    if os.path.isdir(path):
        raise IsADirectoryError(f"cannot read capture {path}: it is a directory")
    data = _map(path)
    offsets, lengths, keys, skipped, tail = _index(nat, data)
    for message in damage_messages(path, offsets, skipped, tail, data.shape[0]):
        warnings.warn(message, CaptureWarning, stacklevel=2)

    boards = []  # (first chunk, SSID key, its chunks)
    for key in np.unique(keys):
        mine = keys == key
        boards.append((int(mine.argmax()), key, mine))
    recordings: dict[str, Recording] = {}
    with nat.single_board:
        check_single_board_descriptor(d.text)
        nat.decoder.release()
        nat.decoder.set_board_json(d.text.encode())
        for _, key, mine in sorted(boards, key=lambda b: b[0]):
            ssid = _ssid(key)
            o, n = offsets[mine], lengths[mine]
            rows, results = _decode_board(nat, data, o, n, d.num_rows)
            no_descriptor = results == Result.NO_DESCRIPTOR
            refused = _refused_families(data, o[no_descriptor], n[no_descriptor])
            for family, count in refused:
                warnings.warn(f"board {ssid}: the descriptor cannot serve {family.name} (result code 6): "
                              f"{count} {family.name} chunk{'' if count == 1 else 's'} not decoded",
                              CaptureWarning, stacklevel=2)
            recordings[ssid] = Recording(
                ssid=ssid, family=_family(data, o, n), columns=d.columns, data=rows,
                filler=rows[:, d.filler] == 1.0,
                rejected=int(np.count_nonzero((results != 0) & ~no_descriptor)),
                refused=tuple(family for family, _ in refused), groups=d.groups)
    return recordings


def _refused_families(data: np.ndarray, offsets: np.ndarray, lengths: np.ndarray) -> list[tuple[CommType, int]]:
    """The families of the chunks the library refused with code 6, in the
    order first met, with their counts."""
    families = _families(data, offsets, lengths)
    told, first, counts = np.unique(families[families != 0], return_index=True, return_counts=True)
    return [(CommType(int(told[i])), int(counts[i])) for i in np.argsort(first)]
