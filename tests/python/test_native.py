"""libPalvexCapture, the package's native helper, called as the package
calls it: the walk over chunk headers stops where it must and resumes, and
neither call reads outside the data it is given or writes through a null
pointer."""
import ctypes
import json

import numpy as np
import pytest

import palvex
from palvex._libs import native
from palvex._rows import RowBuffer
from conftest import make_capture
from tooltest import chunk, chunks

END, FULL, CUT, REFUSED = 0, 1, 2, 3


def index(data, position=0, max_chunks=16, null=()):
    """Calls palvex_capture_index; `null` names arguments to pass as NULL."""
    nat = native()
    buf = np.frombuffer(data, dtype=np.uint8) if data else np.zeros(1, np.uint8)
    pos, found, corrupted = ctypes.c_uint64(position), ctypes.c_uint64(99), ctypes.c_uint64(99)
    offsets = np.zeros(max(1, max_chunks), np.uint64)
    lengths = np.zeros(max(1, max_chunks), np.int32)
    keys = np.zeros(max(1, max_chunks), np.uint64)
    args = {"data": buf.ctypes.data, "position": ctypes.byref(pos), "offsets": offsets.ctypes.data,
            "lengths": lengths.ctypes.data, "ssids": keys.ctypes.data, "found": ctypes.byref(found),
            "corrupted": ctypes.byref(corrupted)}
    args.update({k: None for k in null})
    why = nat.capture.palvex_capture_index(args["data"], len(data), args["position"], args["offsets"],
                                           args["lengths"], args["ssids"], max_chunks, args["found"],
                                           args["corrupted"])
    n = found.value
    return why, pos.value, list(offsets[:n]), list(lengths[:n]), list(keys[:n]), found.value, corrupted.value


A = chunk("A1", b"x" * 5)      # 15 bytes
B = chunk("B2", b"y" * 20)     # 30 bytes
BAD = b"\0" * 6 + (-1).to_bytes(4, "little", signed=True)
KEY_A1 = int.from_bytes(b"A1", "little")
KEY_B2 = int.from_bytes(b"B2", "little")


@pytest.mark.parametrize("data, position, max_chunks, expected", [
    # (why, position after, offsets, lengths, SSID keys, found, corrupted)
    (A + B, 0, 16, (END, 45, [0, 15], [5, 20], [KEY_A1, KEY_B2], 2, 0)),
    (A + B, 0, 1, (FULL, 15, [0], [5], [KEY_A1], 1, 0)),
    (A + B, 15, 16, (END, 45, [15], [20], [KEY_B2], 1, 0)),
    (A + BAD + B, 0, 16, (END, 55, [0, 25], [5, 20], [KEY_A1, KEY_B2], 2, 1)),
    (A + B[:9], 0, 16, (CUT, 15, [0], [5], [KEY_A1], 1, 0)),            # a header cut
    (A + B[:29], 0, 16, (CUT, 15, [0], [5], [KEY_A1], 1, 0)),           # a payload cut
    (chunk("", b"z", length=500000), 0, 16, (CUT, 10, [], [], [], 0, 1)),  # longer than a hub receive: corrupted
    (b"", 0, 16, (END, 0, [], [], [], 0, 0)),
    (A, 99, 16, (END, 99, [], [], [], 0, 0)),                         # a position past the end reads nothing
    (b"A1\0Z\0\0" + (0).to_bytes(4, "little") + b"B2ZZZZ" + (0).to_bytes(4, "little"), 0, 16,
     (END, 20, [0, 10], [0, 0], [KEY_A1, int.from_bytes(b"B2ZZZZ", "little")], 2, 0)),
])
def test_the_index_walk(data, position, max_chunks, expected):
    assert index(data, position, max_chunks) == expected


@pytest.mark.parametrize("null", ["position", "found", "corrupted", "data", "offsets", "lengths", "ssids"])
def test_the_index_walk_refuses_a_null_pointer_and_still_sets_its_counts(null):
    why, _, _, _, _, found, corrupted = index(A + B, null=[null])
    assert why == REFUSED
    assert (found if null != "found" else 0, corrupted if null != "corrupted" else 0) == (0, 0)


def test_no_arrays_are_needed_to_count_nothing():
    nat = native()
    pos, found, corrupted = ctypes.c_uint64(0), ctypes.c_uint64(9), ctypes.c_uint64(9)
    data = np.frombuffer(BAD * 3, np.uint8)
    assert nat.capture.palvex_capture_index(data.ctypes.data, data.size, ctypes.byref(pos), None, None, None, 0,
                                            ctypes.byref(found), ctypes.byref(corrupted)) == END
    assert (pos.value, found.value, corrupted.value) == (30, 0, 3)


@pytest.fixture
def mes5_chunks(tmp_path):
    """Four MES_5 chunks as bytes, with their header offsets and lengths."""
    capture = make_capture(tmp_path / "m5.cap", {"E5": "MES_5"}, 4)
    data = b"".join(chunk(s, p) for s, _, p in chunks(capture))
    size = len(chunks(capture)[0][2]) + 10
    return data, np.arange(4, dtype=np.uint64) * size, np.full(4, size - 10, np.int32)


def feed(data, offsets, lengths, descriptor=None, null=()):
    nat = native()
    with nat.single_board:
        nat.decoder.release()
        nat.decoder.set_board_json((descriptor or palvex.DEFAULT_DESCRIPTOR).encode())
        ring = RowBuffer(nat, len(palvex.column_names(descriptor)), 64)
        buf = np.frombuffer(data, np.uint8)
        results = np.full(len(offsets), -1, np.int32)
        args = {"data": buf.ctypes.data, "offsets": offsets.ctypes.data, "lengths": lengths.ctypes.data,
                "interpret": nat.interpret_data_fn, "results": results.ctypes.data}
        args.update({k: None for k in null})
        try:
            done = nat.capture.palvex_capture_feed(args["data"], len(data),
                                                   args["offsets"], args["lengths"], len(offsets),
                                                   args["interpret"], nat.palvex_rows_callback, ring.handle,
                                                   args["results"])
            return done, list(results), ring.count()
        finally:
            nat.decoder.release()
            ring.destroy()


def test_feeding_stops_before_a_chunk_outside_the_data(mes5_chunks):
    data, offsets, lengths = mes5_chunks
    assert feed(data, offsets, lengths) == (4, [0, 0, 0, 0], 8)
    cases = {
        "offset past the end": (offsets + np.array([0, 0, 10 ** 9, 0], np.uint64), lengths),
        "payload past the end": (offsets, lengths + np.array([0, 0, 0, 1], np.int32)),
        "negative length": (offsets, np.array([lengths[0], -1, 0, 0], np.int32)),
        "offset near 2**64": (np.array([0, 2 ** 64 - 5, 0, 0], np.uint64), lengths),
    }
    stops = {name: feed(data, o, n)[0] for name, (o, n) in cases.items()}
    assert stops == {"offset past the end": 2, "payload past the end": 3, "negative length": 1,
                     "offset near 2**64": 1}


def test_feeding_stops_after_the_descriptor_is_refused(mes5_chunks):
    data, offsets, lengths = mes5_chunks
    no_raw_ppg = json.dumps({k: v for k, v in json.loads(palvex.DEFAULT_DESCRIPTOR).items()
                             if k != "ppg_raw_channels"})
    assert feed(data, offsets, lengths, no_raw_ppg) == (1, [palvex.Result.NO_DESCRIPTOR, -1, -1, -1], 0)


@pytest.mark.parametrize("null", ["data", "offsets", "lengths", "interpret", "results"])
def test_feeding_refuses_a_null_pointer(mes5_chunks, null):
    data, offsets, lengths = mes5_chunks
    assert feed(data, offsets, lengths, null=[null]) == (0, [-1, -1, -1, -1], 0)
