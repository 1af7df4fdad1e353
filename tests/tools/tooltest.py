"""Helpers for the tool tests: where the programs are, running them bounded
in time, programs in the background (the simulator among them) that are
always stopped by their pid, CSV and summary parsing. CTest passes the
paths in the environment (tests/tools/CMakeLists.txt)."""
import csv
import io
import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

CORVEL_SIM = os.environ.get("CORVEL_SIM", "corvel-sim")
PALVEX_DECODE = os.environ.get("PALVEX_DECODE", "palvex-decode")
PALVEX_PLOT = os.environ.get("PALVEX_PLOT", "palvex-plot")
PALVEX_HEADER = os.environ.get("PALVEX_HEADER", "")  # the Python package's tests pass it
DEMO_SH = os.environ.get("DEMO_SH", "")
SCRATCH = os.environ.get("TOOLS_SCRATCH", tempfile.gettempdir())

# Column names of the default 33-column descriptor, index = column; the
# last is the library's filler mark.
DEFAULT_COLUMNS = (
    [f"exg_{i}" for i in range(8)]
    + ["accel_x", "accel_y", "accel_z", "gyro_x", "gyro_y", "gyro_z"]
    + [f"resistance_{i}" for i in range(10)]
    + ["ppg_0", "ppg_1", "package_num", "battery", "other", "valid", "format_code", "ppg_2", "filler"]
)
FAMILY_CODE = {"WUA2": 1, "MES_2": 2, "IMP_3": 3, "MES_4": 4, "MES_5": 5}
# One board of every family.
EVERY_FAMILY = {"A1": "MES_4", "B2": "WUA2", "C3": "IMP_3", "D4": "MES_2", "E5": "MES_5"}


def run(cmd, timeout=30, **kw):
    """Runs cmd, returns CompletedProcess with text stdout/stderr."""
    return subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=timeout, **kw)


def make_capture(path, boards, packets=400, lose_every=100, extra=()):
    """corvel-sim --capture of the boards ({ssid: FAMILY or FAMILY:constant}); returns the path."""
    args = [CORVEL_SIM, "--capture", path, "--packets", packets]
    if lose_every:
        args += ["--lose-every", lose_every]
    for ssid, family in boards.items():
        args += ["--board", f"{ssid}:{family}"]
    proc = run(args + list(extra))
    assert proc.returncode == 0, proc.stderr
    return path


class ScratchCase(unittest.TestCase):
    """A test case with a scratch directory of its own, kept on failure."""

    def setUp(self):
        os.makedirs(SCRATCH, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix=self.id().split(".")[-1] + "-", dir=SCRATCH)

    def tearDown(self):
        # The outcome's own flag, which unittest and pytest's unittest
        # support both keep (pytest's result object has no failure lists).
        outcome = getattr(self, "_outcome", None)
        if getattr(outcome, "success", True):
            shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def assert_one_line_error(self, proc, pattern, status=1):
        """Exit status, and an error of one line matching pattern as the last line of stderr."""
        self.assertEqual(proc.returncode, status, proc.stderr)
        lines = [l for l in proc.stderr.splitlines() if l.strip()]
        self.assertTrue(lines, "no message on stderr")
        self.assertRegex(lines[-1], pattern)
        return lines[-1]


class Background:
    """A program in the background, its output in files; stop() and the
    end of a with block end it by its pid."""

    def __init__(self, cmd, directory, name):
        self.out_path = os.path.join(directory, f"{name}.out")
        self.err_path = os.path.join(directory, f"{name}.err")
        self._start(cmd)

    def _start(self, cmd):
        self._out = open(self.out_path, "w")
        self._err = open(self.err_path, "w")
        self.proc = subprocess.Popen([str(c) for c in cmd], stdout=self._out, stderr=self._err)

    def _close_files(self):
        self._out.close()
        self._err.close()

    def stdout(self):
        with open(self.out_path) as f:
            return f.read()

    def stderr(self):
        with open(self.err_path) as f:
            return f.read()

    def stop(self, sig=signal.SIGTERM, timeout=5):
        """Signals the program and returns its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise
        finally:
            self._close_files()
        return rc

    def wait(self, timeout):
        rc = self.proc.wait(timeout)
        self._close_files()
        return rc

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self._close_files()


class Simulator(Background):
    """corvel-sim in the background, once it listens; stop() ends it by its pid."""

    def __init__(self, args, directory):
        self.out_path = os.path.join(directory, "sim.out")
        self.err_path = os.path.join(directory, "sim.err")
        cmd = [CORVEL_SIM] + list(args)
        # Another run of the hub tests on this machine may hold the port for
        # a moment: wait for it rather than fail.
        deadline = time.monotonic() + 20
        while True:
            self._start(cmd)
            if self._wait_listening() or time.monotonic() > deadline or "in use" not in self.stderr():
                break
            time.sleep(0.5)
        if "listening" not in self.stderr():
            raise RuntimeError(f"corvel-sim did not start: {self.stderr()}")

    def _wait_listening(self):
        deadline = time.monotonic() + 10
        while "listening" not in self.stderr():
            if self.proc.poll() is not None:
                self._close_files()
                return False
            if time.monotonic() > deadline:
                self.proc.kill()
                self.proc.wait()
                return False
            time.sleep(0.02)
        return True


def read_csv(path_or_text, text=False):
    """(header, rows) of a palvex-decode CSV; rows are lists of strings."""
    f = io.StringIO(path_or_text) if text else open(path_or_text, newline="")
    with f:
        r = list(csv.reader(f))
    return r[0], r[1:]


def rows_by_board(header, rows):
    si = header.index("ssid")
    out = {}
    for row in rows:
        out.setdefault(row[si], []).append(row)
    return out


SUMMARY = re.compile(
    r"palvex-decode: board (?P<ssid>\S*) \((?P<family>[^)]*)\): (?P<rows>\d+) rows?, (?P<fillers>\d+) filler rows?, "
    r"(?P<lost>\d+) lost packets?(, packet numbers (?P<first>\d+)\.\.(?P<last>\d+))?"
)


def summary(stderr):
    """{ssid: dict of the summary fields} from palvex-decode's stderr."""
    out = {}
    for m in SUMMARY.finditer(stderr):
        d = m.groupdict()
        out[d["ssid"]] = {k: (int(v) if v and v.isdigit() else v) for k, v in d.items()}
    return out


def chunks(path):
    """(ssid, length, payload) of every chunk of a capture."""
    out = []
    with open(path, "rb") as f:
        data = f.read()
    at = 0
    while at < len(data):
        ssid = data[at:at + 6].split(b"\0", 1)[0].decode()
        (length,) = struct.unpack("<i", data[at + 6:at + 10])
        if length < 0:
            at += 10
            continue
        out.append((ssid, length, data[at + 10:at + 10 + length]))
        at += 10 + length
    return out


def chunk(ssid, payload, length=None):
    return ssid.encode().ljust(6, b"\0") + struct.pack("<i", len(payload) if length is None else length) + payload


def chunk_bytes(path):
    """The chunks of a clean capture as the bytes they are in the file."""
    return [chunk(s, p) for s, _, p in chunks(path)]


class Damage:
    """A capture damaged the way files get damaged, made from the chunks of a
    clean one: which chunks the damage hits, the stretches (byte offset,
    length) a reader has to pass over, and the capture of the chunks it does
    not hit, whose decoding the damaged one must give."""

    def __init__(self, name, pieces):
        # pieces: (bytes, kept) in file order; kept False for damage.
        self.name = name
        self.data = b"".join(b for b, _ in pieces)
        self.survivors = b"".join(b for b, kept in pieces if kept)
        self.stretches, at, damaged = [], 0, 0
        for b, kept in pieces:
            if not kept:
                damaged += len(b)
            elif damaged:
                self.stretches.append((at - damaged, damaged))
                damaged = 0
            at += len(b)
        if damaged:
            self.stretches.append((at - damaged, damaged))

    def write(self, directory):
        """Writes the damaged capture and the survivors' capture; returns both paths."""
        paths = os.path.join(directory, f"{self.name}.cap"), os.path.join(directory, f"{self.name}-whole.cap")
        for path, data in zip(paths, (self.data, self.survivors)):
            with open(path, "wb") as f:
                f.write(data)
        return paths


def with_length(c, length):
    return c[:6] + struct.pack("<i", length) + c[10:]


def damaged_captures(clean):
    """The damage of a capture's life, each far from the next: a corrupted
    length (161655, a value no chunk has), 333 bytes of junk between two
    chunks, a chunk with 40 bytes torn out of its middle, and all three in
    one capture. `clean`: the chunks of a clean capture, as bytes."""
    junk = bytes((i * 151 + 17) % 256 for i in range(333))
    n = len(clean)
    a, b, c = n // 4, n // 2, 3 * n // 4

    def damaged(name, spots):
        pieces = []
        for i, ch in enumerate(clean):
            what = spots.get(i)
            if what == "length":
                pieces.append((with_length(ch, 161655), False))
            elif what == "junk":
                pieces += [(junk, False), (ch, True)]
            elif what == "torn":
                middle = len(ch) // 2
                pieces.append((ch[:middle - 20] + ch[middle + 20:], False))
            else:
                pieces.append((ch, True))
        return Damage(name, pieces)

    return [damaged("corrupted-length", {a: "length"}), damaged("junk", {b: "junk"}),
            damaged("torn", {c: "torn"}), damaged("all-three", {a: "length", b: "junk", c: "torn"})]

