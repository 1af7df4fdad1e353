"""The examples in python/examples, run as a user runs them."""
import os
import re
import sys

from conftest import PYTHON_DIR, make_capture
from tooltest import run

EXAMPLES = os.path.join(PYTHON_DIR, "examples")


def test_decode_capture_example(tmp_path):
    capture = make_capture(tmp_path / "c.cap", {"A1": "MES_4", "C3": "IMP_3"}, 100, "--drop-every", 40)
    proc = run([sys.executable, os.path.join(EXAMPLES, "decode_capture.py"), capture])
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "board A1: 196 rows, packet numbers 1..200, 8 filler rows, 0 buffers refused"
    assert re.match(r"  first row: exg_0=.*accel_z=0\.99.*package_num=1, battery=98, valid=1, format_code=4", lines[1])
    assert lines[2] == "board C3: 196 rows, packet numbers 1..200, 8 filler rows, 0 buffers refused"

    cut = tmp_path / "cut.cap"
    cut.write_bytes(open(capture, "rb").read()[:-5])
    proc = run([sys.executable, os.path.join(EXAMPLES, "decode_capture.py"), cut])
    assert proc.returncode == 1
    assert proc.stderr.splitlines()[-1].startswith("decode_capture: truncated capture")
    assert proc.stdout.startswith("board A1: ")  # the whole chunks before the cut are decoded
