"""palvex.decode_capture against palvex-decode's CSV of the same capture:
the same rows bit for bit, the same column names, the same filler rows;
and what a capture or a descriptor can get wrong."""
import json
import re
import struct
import warnings

import numpy as np
import pytest

import palvex
from palvex import _capture
from conftest import FIVE_FAMILIES, DecodedCsv, make_capture, write_descriptor
from tooltest import chunk, chunk_bytes, chunks, damaged_captures

DEFAULT = json.loads(palvex.DEFAULT_DESCRIPTOR)


def without_filler_channel(d):
    return {k: v for k, v in d.items() if k != "filler_channel"}


def with_filler_channel(d, column):
    d = dict(d, filler_channel=column)
    d["num_rows"] = max(d["num_rows"], column + 1)
    return d


# The default as it is, one without the key (palvex-decode and the package
# both add a filler column at the end of the row), one whose filler column
# sits among unnamed columns.
VARIANTS = {
    "default": DEFAULT,
    "no filler_channel": without_filler_channel(DEFAULT),
    "filler_channel 35 of 40": with_filler_channel(dict(DEFAULT, num_rows=40), 35),
}


def assert_same_rows(rec, csv, ssid):
    n = len(rec.columns)
    assert list(rec.columns) == csv.header[1:1 + n]
    expected = csv.values(ssid, n)
    assert rec.data.dtype == np.float64 and rec.data.shape == expected.shape
    assert np.array_equal(rec.data.view(np.uint64), expected.view(np.uint64)), f"board {ssid}: rows differ"


@pytest.mark.parametrize("variant", VARIANTS)
def test_every_board_decodes_to_palvex_decodes_rows(tmp_path, five_capture, variant):
    descriptor = VARIANTS[variant]
    csv = DecodedCsv(five_capture, write_descriptor(tmp_path, descriptor))
    assert csv.proc.returncode == 0, csv.proc.stderr

    boards = palvex.decode_capture(five_capture, descriptor)

    assert list(boards) == list(FIVE_FAMILIES)  # in order of appearance, as the CSV
    for ssid, rec in boards.items():
        assert_same_rows(rec, csv, ssid)
        assert rec.filler.dtype == bool
        assert np.array_equal(rec.filler, csv.filler_flags[ssid])
        assert 0 < rec.filler.sum() < len(rec)  # every 37th packet lost
        assert (rec.ssid, rec.family, rec.rejected, rec.refused) == (ssid, palvex.CommType[FIVE_FAMILIES[ssid]],
                                                                     0, ())


def header(ssid_field, length):
    return ssid_field + struct.pack("<i", length)


def test_odd_chunks_and_a_cut_end_give_palvex_decodes_rows(tmp_path):
    """Chunks the library refuses, a corrupted header, a confirmation, SSIDs
    empty, full-length or with bytes after the zero, and a capture cut in
    the middle of its last chunk."""
    source = make_capture(tmp_path / "src.cap", {"A1": "MES_4", "B2": "WUA2", "E5": "MES_5"}, 120,
                          "--lose-every", 25)
    rename = {"A1": "A1", "B2": "ABCDEF", "E5": ""}
    # Early in A1's stream, before its first loss, each between two whole
    # chunks.
    odd = {30: header(b"\xff" * 6, -7),                    # corrupted length: skipped alone
           31: chunk("A1", b"\x04\x00" + bytes(68)),       # MES_4 type word, wrong length: refused (1)
           32: chunk("A1", b"\x09\x00" + bytes(75)),       # unknown type word: refused (11)
           33: chunk("A1", b"\x01\x02\x03\x04\x05")}       # a confirmation: consumed, no rows
    out = bytearray()
    for i, (ssid, _, payload) in enumerate(chunks(source)):
        out += odd.get(i, b"")
        if 40 <= i < 43 and ssid == "A1":
            out += header(b"A1\0Z\0\0", len(payload)) + payload   # still board A1
        else:
            out += chunk(rename[ssid], payload)
    path = tmp_path / "odd.cap"
    path.write_bytes(bytes(out[:-20]))
    csv = DecodedCsv(str(path))
    assert csv.proc.returncode == 0 and "truncated capture" in csv.proc.stderr

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        boards = palvex.decode_capture(path)

    messages = [str(w.message) for w in caught]
    assert [w.category for w in caught] == [palvex.CaptureWarning] * 2
    assert re.fullmatch(r"capture .*odd\.cap: skipped 10 bytes at byte \d+, where no chunk boundary was found",
                        messages[0])
    assert re.fullmatch(r"truncated capture .*: the chunk at byte \d+ is cut off by the end \(71 bytes of it "
                        r"present\); the chunks before it are decoded", messages[1])
    assert list(boards) == ["A1", "ABCDEF", ""] == list(csv.boards)
    for ssid, rec in boards.items():
        assert_same_rows(rec, csv, ssid)
        assert np.array_equal(rec.filler, csv.filler_flags[ssid])
    assert [boards[s].rejected for s in boards] == [2, 0, 0]
    assert [boards[s].family for s in boards] == [palvex.CommType.MES_4, palvex.CommType.WUA2, palvex.CommType.MES_5]


STRETCH = re.compile(r"capture .*: skipped (\d+) bytes? at byte (\d+), where no chunk boundary was found")


def test_damage_costs_the_chunks_it_hit_as_in_palvex_decode(tmp_path):
    """A corrupted length, junk between two chunks, a chunk with bytes torn
    out: the rows are those of the chunks the damage did not hit, each
    damaged stretch is one warning with its offset and length, and no board
    is made up from the bytes passed over."""
    clean = chunk_bytes(make_capture(tmp_path / "clean.cap", {"A1": "MES_4", "B2": "WUA2", "C3": "IMP_3"}, 200))
    for damage in damaged_captures(clean):
        damaged, whole = damage.write(tmp_path)
        csv = DecodedCsv(damaged)
        assert csv.proc.returncode == 0, csv.proc.stderr
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            boards = palvex.decode_capture(damaged)
        expected = palvex.decode_capture(whole)
        assert list(boards) == list(expected) == ["A1", "B2", "C3"], damage.name
        for ssid, rec in boards.items():
            assert np.array_equal(rec.data.view(np.uint64), expected[ssid].data.view(np.uint64)), damage.name
            assert_same_rows(rec, csv, ssid)
        got = [(int(at), int(n)) for n, at in (STRETCH.fullmatch(str(w.message)).groups() for w in caught)]
        assert got == damage.stretches, damage.name
        assert all(w.category is palvex.CaptureWarning for w in caught)


def test_an_ssid_of_raw_bytes_names_its_board_and_palvex_decode_escapes_it(tmp_path):
    source = make_capture(tmp_path / "src.cap", {"A1": "MES_4"}, 10)
    path = tmp_path / "raw.cap"
    path.write_bytes(b"".join(header(b"\xff\xfeZ\0\0\0", len(p)) + p for _, _, p in chunks(source)))
    boards = palvex.decode_capture(path)
    (ssid,) = boards
    assert ssid.encode("utf-8", "surrogateescape") == b"\xff\xfeZ"
    assert np.array_equal(boards[ssid].data, palvex.decode_capture(source)["A1"].data)
    assert list(DecodedCsv(str(path)).boards) == ["\\xff\\xfeZ"]  # text, so the CSV is UTF-8


def test_a_family_the_descriptor_cannot_serve_costs_its_chunks_and_the_others_decode(tmp_path, five_capture):
    descriptor = {k: v for k, v in DEFAULT.items() if k != "ppg_raw_channels"}  # MES_5 needs it
    csv = DecodedCsv(five_capture, write_descriptor(tmp_path, descriptor))
    assert csv.proc.returncode == 0, csv.proc.stderr

    with pytest.warns(palvex.CaptureWarning, match=r"board E5: the descriptor cannot serve MES_5 \(result code 6\): "
                                                   r"\d+ MES_5 chunks not decoded"):
        boards = palvex.decode_capture(five_capture, json.dumps(descriptor))

    assert (boards["E5"].refused, len(boards["E5"]), boards["E5"].family) == ((palvex.CommType.MES_5,), 0,
                                                                              palvex.CommType.MES_5)
    for ssid in ("A1", "B2", "C3", "D4"):
        assert boards[ssid].refused == ()
        assert_same_rows(boards[ssid], csv, ssid)

    # A board that switches to MES_5 for one packet and back: only that packet is lost.
    mes4 = chunk_bytes(make_capture(tmp_path / "m4.cap", {"A1": "MES_4"}, 70))
    mes5 = chunk_bytes(make_capture(tmp_path / "m5.cap", {"A1": "MES_5"}, 50))
    switching = tmp_path / "switch.cap"
    switching.write_bytes(b"".join(mes4[:39] + [mes5[39]] + mes4[40:]))
    with pytest.warns(palvex.CaptureWarning, match=r"board A1: the descriptor cannot serve MES_5 \(result code 6\): "
                                                   r"1 MES_5 chunk not decoded"):
        a1 = palvex.decode_capture(switching, descriptor)["A1"]
    assert a1["package_num"].tolist() == list(range(1, 79)) + list(range(81, 141))
    assert (a1.family, a1.refused, a1.rejected) == (palvex.CommType.MES_4, (palvex.CommType.MES_5,), 0)


def test_a_gap_longer_than_the_buffer_loses_no_filler_row(tmp_path, monkeypatch):
    """300 packets missing in a row: one chunk makes 600 filler rows,
    more than a small buffer holds between two drains."""
    source = make_capture(tmp_path / "src.cap", {"A1": "MES_4", "B2": "IMP_3"}, 1000)
    kept = [c for i, c in enumerate(chunks(source)) if not (c[0] == "A1" and 800 <= i < 1400)]
    path = tmp_path / "gap.cap"
    path.write_bytes(b"".join(chunk(ssid, payload) for ssid, _, payload in kept))
    csv = DecodedCsv(str(path))

    whole = palvex.decode_capture(path)
    monkeypatch.setattr(_capture, "_BLOCK_ROWS", 64)
    small = palvex.decode_capture(path)

    for boards in (whole, small):
        for ssid, rec in boards.items():
            assert_same_rows(rec, csv, ssid)
            assert np.array_equal(rec.filler, csv.filler_flags[ssid])
    assert small["A1"].filler.sum() == 600


@pytest.mark.parametrize("descriptor, message", [
    ("{", "not JSON"),
    ("[1, 2]", "not a JSON object"),
    (dict(DEFAULT, num_rows=29), '"num_rows" must be a whole number from 30 to 65536'),
    (dict(DEFAULT, num_rows=True), '"num_rows" must be a whole number'),
    (without_filler_channel(dict(DEFAULT, exg_channels=[0, 1, 99])), '"exg_channels" column 99 is outside'),
    ({k: v for k, v in DEFAULT.items() if k != "package_num_channel"}, '"package_num_channel" is missing'),
    (dict(DEFAULT, battery_channel=2.5), '"battery_channel" must hold whole numbers'),
])
def test_a_descriptor_that_names_no_usable_columns_is_refused_before_decoding(five_capture, descriptor, message):
    with pytest.raises(ValueError, match=message):
        palvex.decode_capture(five_capture, descriptor)


def test_files_that_are_not_captures(tmp_path):
    empty = tmp_path / "empty.cap"
    empty.write_bytes(b"")
    assert palvex.decode_capture(empty) == {}
    with pytest.raises(FileNotFoundError):
        palvex.decode_capture(tmp_path / "missing.cap")
    with pytest.raises(IsADirectoryError):
        palvex.decode_capture(tmp_path)


# Descriptors whose groups overlap, run past three axes, leave columns
# unnamed or give raw PPG columns of its own; palvex-decode's header is the
# reference for the names.
ODD_DESCRIPTORS = [
    without_filler_channel(DEFAULT),
    {"num_rows": 40, "exg_channels": list(range(8)), "battery_channel": 7, "accel_channels": [8, 9, 10, 38],
     "gyro_channels": [11, 12, 13], "resistance_channels": list(range(14, 24)), "ppg_channels": [24, 25],
     "ppg_raw_channels": [31, 32, 33], "package_num_channel": 26, "other_channels": [28, 30, 34, 35, 36]},
    {"num_rows": 30, "package_num_channel": 3, "resistance_channels": [5], "battery_channel": 4,
     "other_channels": [0, 1]},
]


@pytest.mark.parametrize("descriptor", ODD_DESCRIPTORS)
def test_column_names_are_palvex_decodes_header(tmp_path, descriptor):
    capture = make_capture(tmp_path / "one.cap", {"A1": "IMP_3"}, 2)
    csv = DecodedCsv(capture, write_descriptor(tmp_path, descriptor))
    names = palvex.column_names(descriptor)
    assert names == csv.header[1:]  # a filler column added at the end, as palvex-decode adds it
    assert names[-1] == "filler" and len(names) == descriptor["num_rows"] + 1
    assert names == list(palvex.decode_capture(capture, descriptor)["A1"].columns)


def test_the_filler_channel_is_named_filler_whatever_else_names_its_column():
    names = palvex.column_names(with_filler_channel(DEFAULT, 28))  # the "other" column
    assert names[28] == "filler" and "other" not in names
