"""Shared pieces of the Python package's tests: where the programs and the
package are (CTest passes them in the environment, tests/python/
CMakeLists.txt), captures made by corvel-sim, and palvex-decode's CSV of a
capture as arrays to compare with."""
import json
import os
import sys

import numpy as np
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_DIR = os.environ.get("PALVEX_PYTHON_DIR", os.path.join(HERE, os.pardir, os.pardir, "python"))
sys.path.insert(0, PYTHON_DIR)
# The tool tests' helpers: running programs bounded in time, the simulator by its pid, CSV and chunks.
sys.path.insert(0, os.path.join(HERE, os.pardir, "tools"))

from tooltest import CORVEL_SIM, PALVEX_DECODE, read_csv, run  # noqa: E402

FIVE_FAMILIES = {"A1": "MES_4", "B2": "WUA2", "C3": "IMP_3", "D4": "MES_2", "E5": "MES_5"}


def make_capture(path, boards=FIVE_FAMILIES, packets=300, *extra):
    """A capture of corvel-sim's boards (varying signals), interleaved."""
    args = [CORVEL_SIM, "--capture", path, "--packets", packets]
    for ssid, family in boards.items():
        args += ["--board", f"{ssid}:{family}"]
    proc = run(args + list(extra))
    assert proc.returncode == 0, proc.stderr
    return str(path)


class DecodedCsv:
    """palvex-decode's CSV of a capture: its header, and per board the
    values as float64 (the CSV prints the shortest text that reads back as
    the same double, so they are the library's bits) and the filler flags
    of its last column."""

    def __init__(self, capture, descriptor_file=None):
        args = [PALVEX_DECODE, capture] + (["--descriptor", descriptor_file] if descriptor_file else [])
        self.proc = run(args, timeout=60)
        self.header, rows = read_csv(self.proc.stdout, text=True)
        self.boards = {}
        for row in rows:
            self.boards.setdefault(row[0], []).append(row)
        fi = self.header.index("filler") if self.header else 0
        self.filler_flags = {s: np.array([r[fi] == "1" for r in rs]) for s, rs in self.boards.items()}

    def values(self, ssid, columns):
        return np.array([[float(v) for v in r[1:1 + columns]] for r in self.boards[ssid]]).reshape(-1, columns)


def write_descriptor(directory, descriptor, name="descriptor.json"):
    path = os.path.join(str(directory), name)
    with open(path, "w", encoding="utf-8") as f:
        f.write(descriptor if isinstance(descriptor, str) else json.dumps(descriptor))
    return path


@pytest.fixture
def five_capture(tmp_path):
    """Five boards of the five families, 300 packets each, every 37th packet lost."""
    return make_capture(tmp_path / "five.cap", FIVE_FAMILIES, 300, "--lose-every", 37)
