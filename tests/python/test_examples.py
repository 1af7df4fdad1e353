"""The examples in python/examples, run as a user runs them. The live one
opens [::1]:5005 (CTest: resource lock palvex_hub_port)."""
import os
import re
import sys
import time

from conftest import PYTHON_DIR, make_capture
from tooltest import Simulator, run

EXAMPLES = os.path.join(PYTHON_DIR, "examples")


def test_decode_capture_example(tmp_path):
    capture = make_capture(tmp_path / "c.cap", {"A1": "MES_4", "C3": "IMP_3"}, 100, "--lose-every", 40)
    proc = run([sys.executable, os.path.join(EXAMPLES, "decode_capture.py"), capture])
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "board A1: 200 rows, packet numbers 1..200, 4 filler rows, 0 buffers refused"
    assert re.match(r"  first row: exg_0=.*accel_z=0\.99.*package_num=1, battery=98, valid=1, format_code=4", lines[1])
    assert lines[2] == "board C3: 200 rows, packet numbers 1..200, 4 filler rows, 0 buffers refused"

    cut = tmp_path / "cut.cap"
    cut.write_bytes(open(capture, "rb").read()[:-5])
    proc = run([sys.executable, os.path.join(EXAMPLES, "decode_capture.py"), cut])
    assert proc.returncode == 1
    assert proc.stderr.splitlines()[-1].startswith("decode_capture: truncated capture")
    assert proc.stdout.startswith("board A1: ")  # the whole chunks before the cut are decoded


def test_live_sim_example(tmp_path):
    with Simulator(["--board", "A1:MES_4", "--board", "B2:IMP_3", "--duration", 20], tmp_path) as sim:
        proc = run([sys.executable, os.path.join(EXAMPLES, "live_sim.py"), "--seconds", 2], timeout=60)
        time.sleep(0.1)
        assert sim.stop() == 0
        assert "trigger 1, 1 board(s); A1: 01 00 00 00 00" in sim.stdout()
    assert proc.returncode == 0, proc.stderr
    assert re.search(r"board \d A1 \(MES_4 or MES_5\): \d{3} rows, packet numbers \d+\.\.\d+, 0 overwritten\n",
                     proc.stdout), proc.stdout
    assert re.search(r"board \d B2 \(IMP_3\): \d{3} rows, packet numbers \d+\.\.\d+, 0 overwritten\n", proc.stdout)
    assert "trigger command 01 sent to A1" in proc.stdout or "trigger command 01 sent to B2" in proc.stdout
