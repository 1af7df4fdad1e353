"""palvex.to_mne: channels, types and units of the Raw object, and the
lost-packet annotations, read back through MNE; and against palvex-decode's
BDF+ file of the same capture, which MNE reads on its own."""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import palvex
from conftest import FIVE_FAMILIES, PYTHON_DIR, make_capture
from tooltest import PALVEX_DECODE, chunk, chunks, run

mne = pytest.importorskip("mne")
RATE = 250


@pytest.fixture
def gappy(tmp_path):
    """Board A1 (MES_4) with packet 50 lost and packets 120..124 lost: runs
    of 2 filler rows (1 lost packet) and of 10 (5 lost packets)."""
    source = make_capture(tmp_path / "src.cap", {"A1": "MES_4"}, 300)
    kept = [c for i, c in enumerate(chunks(source)) if i != 49 and not 119 <= i < 124]
    path = tmp_path / "gappy.cap"
    path.write_bytes(b"".join(chunk(s, p) for s, _, p in kept))
    return path


def test_raw_channels_units_and_annotations(gappy):
    rec = palvex.decode_capture(gappy)["A1"]
    raw = palvex.to_mne(rec, RATE)

    # MES_4 has neither resistances nor raw PPG.
    assert raw.ch_names == [c for c in rec.columns if c != "ppg_2" and not c.startswith("resistance_")]
    types = raw.get_channel_types()
    assert [n for n, t in zip(raw.ch_names, types) if t == "eeg"] == [f"exg_{i}" for i in range(8)]
    assert set(types) == {"eeg", "misc"}
    # Time by packet number: sample i is number first + i, and every number
    # is a row: the filler rows stand where packets were lost.
    numbers = rec["package_num"]
    assert raw.info["sfreq"] == RATE and raw.n_times == numbers[-1] - numbers[0] + 1 == len(rec) == 600
    data = raw.get_data()
    kept = [rec.columns.index(c) for c in raw.ch_names]
    on_time = palvex.time_line(numbers, rec.filler).spread(rec.data)[:, kept]
    assert np.array_equal(data[raw.ch_names.index("package_num")], np.arange(1, 601))
    exg = [raw.ch_names.index(f"exg_{i}") for i in range(8)]
    others = [c for c in range(len(raw.ch_names)) if c not in exg]
    assert np.array_equal(data[exg], on_time[:, exg].T * 1e-6)   # microvolts to volts
    assert np.array_equal(data[others], on_time[:, others].T)    # as the library gives them
    assert np.abs(data[exg]).max() < 1e-3                         # tens of microvolts, in volts

    # Packet 50 (numbers 99, 100) lost: 2 fillers at samples 98, 99; packets
    # 120..124 (numbers 239..248) lost: 10 fillers from sample 238.
    assert np.flatnonzero(rec.filler).tolist() == [98, 99] + list(range(238, 248))
    ann = raw.annotations
    assert list(ann.description) == ["lost packets: 1", "lost packets: 5"]
    assert np.allclose(ann.onset, [98 / RATE, 238 / RATE]) and np.allclose(ann.duration, [2 / RATE, 10 / RATE])


def test_raw_agrees_with_palvex_decodes_bdf(gappy, tmp_path):
    bdf = tmp_path / "gappy.bdf"
    proc = run([PALVEX_DECODE, gappy, "--bdf", bdf, "--sample-rate", RATE])
    if proc.returncode != 0 and "without EDFlib" in proc.stderr:
        pytest.skip("palvex-decode was built without EDFlib")
    assert proc.returncode == 0, proc.stderr
    theirs = mne.io.read_raw_bdf(bdf, preload=True, infer_types=True, verbose=False)
    ours = palvex.to_mne(palvex.decode_capture(gappy)["A1"], RATE)
    # The same types channel by channel: ExG as EEG, the rest as misc.
    assert theirs.get_channel_types(picks=ours.ch_names[:8]) == ours.get_channel_types(picks=ours.ch_names[:8])

    exg = [f"exg_{i}" for i in range(8)]
    n = ours.n_times  # the BDF+ file pads its last data record
    assert np.allclose(theirs.get_data(picks=exg)[:, :n], ours.get_data(picks=exg), rtol=1e-12, atol=0)
    assert list(theirs.annotations.description) == list(ours.annotations.description)
    assert np.allclose(theirs.annotations.onset, ours.annotations.onset)
    assert np.allclose(theirs.annotations.duration, ours.annotations.duration)


# What a family leaves out, of the default descriptor's columns: the groups
# it has not (palvex-decode's BDF+ files hold the same); columns of no group
# (packet number, battery, format code, filler, ...) every family keeps.
RESISTANCES = {f"resistance_{i}" for i in range(10)}
LEFT_OUT = {
    "MES_4": {"ppg_2"} | RESISTANCES,
    "MES_5": RESISTANCES,
    "MES_2": {"ppg_0", "ppg_1", "ppg_2"} | RESISTANCES,
    "WUA2": {"ppg_0", "ppg_1", "ppg_2"},
    "IMP_3": {"ppg_0", "ppg_1", "ppg_2"} | {f"exg_{i}" for i in range(8)}
             | {f"{g}_{a}" for g in ("accel", "gyro") for a in "xyz"},
}


def test_channel_groups_a_family_has_not_are_left_out(tmp_path):
    boards = palvex.decode_capture(make_capture(tmp_path / "five.cap", FIVE_FAMILIES, 20))
    for ssid, family in FIVE_FAMILIES.items():
        rec = boards[ssid]
        raw = palvex.to_mne(rec, RATE)
        assert raw.ch_names == [c for c in rec.columns if c not in LEFT_OUT[family]], family
        assert np.array_equal(raw.get_data(picks=["battery"])[0], rec["battery"]), family
        assert ("eeg" in raw.get_channel_types()) == (family != "IMP_3"), family


def test_a_board_with_no_rows_is_refused_with_the_reason(tmp_path):
    capture = make_capture(tmp_path / "five.cap", FIVE_FAMILIES, 20)
    no_raw_ppg = {k: v for k, v in json.loads(palvex.DEFAULT_DESCRIPTOR).items() if k != "ppg_raw_channels"}
    with pytest.warns(palvex.CaptureWarning):
        e5 = palvex.decode_capture(capture, no_raw_ppg)["E5"]
    with pytest.raises(ValueError, match=r"board 'E5' has no rows .*: the descriptor cannot serve its family "
                                         r"\(MES_5\)"):
        palvex.to_mne(e5, RATE)
    empty = palvex.Recording(ssid="Z9", family=None, columns=e5.columns, data=e5.data, filler=e5.filler)
    with pytest.raises(ValueError, match=r"board 'Z9' has no rows .*: no chunk of it gave a row"):
        palvex.to_mne(empty, RATE)


def test_the_package_imports_without_mne():
    code = "import sys, palvex; assert 'mne' not in sys.modules, 'mne imported'"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, PYTHONPATH=PYTHON_DIR))
    assert proc.returncode == 0, proc.stderr
