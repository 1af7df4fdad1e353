"""palvex-decode --bdf: BDF+ files from captures that corvel-sim writes and
from a live simulator, read back with EDFlib's reader (bdf-dump) and with
MNE-Python, and compared with the CSV of the same run."""
import json
import math
import os
import signal
import subprocess
import time
import unittest

from tooltest import CORVEL_SIM, PALVEX_DECODE, ScratchCase, Simulator, read_csv, rows_by_board, run

BDF_DUMP = os.environ.get("BDF_DUMP", "bdf-dump")
BOARDS = {"A1": "MES_4", "B2": "WUA2", "C3": "IMP_3", "D4": "MES_2", "E5": "MES_5"}
RATE = 250

EXG = [f"exg_{i}" for i in range(8)]
MOTION = ["accel_x", "accel_y", "accel_z", "gyro_x", "gyro_y", "gyro_z"]
RES = [f"resistance_{i}" for i in range(10)]
# The signals of each family, in file order.
SIGNALS = {
    "MES_4": EXG + MOTION + ["ppg_0", "ppg_1", "battery"],
    "MES_5": EXG + MOTION + ["ppg_0", "ppg_1", "ppg_2", "battery"],
    "MES_2": EXG + MOTION + ["battery"],
    "WUA2": EXG + RES + MOTION + ["battery"],
    "IMP_3": RES + ["battery"],
}
UNIT = {"exg": "uV", "accel": "g", "gyro": "deg/s", "resistance": "Ohm", "ppg": "a.u.", "battery": "%"}


def unit_of(label):
    return UNIT[label.split("_")[0]]


def dump(path):
    proc = run([BDF_DUMP, path])
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def make_capture(path, boards, packets=400, drop_every=100):
    args = [CORVEL_SIM, "--capture", path, "--packets", packets, "--drop-every", drop_every]
    for ssid, family in boards.items():
        args += ["--board", f"{ssid}:{family}"]
    proc = run(args)
    assert proc.returncode == 0, proc.stderr
    return path


def filler_runs(header, rows):
    """(first row index, length) of every run of filler rows."""
    fi = header.index("filler")
    runs = []
    for i, r in enumerate(rows):
        if r[fi] != "1":
            continue
        if runs and runs[-1][0] + runs[-1][1] == i:
            runs[-1][1] += 1
        else:
            runs.append([i, 1])
    return [tuple(r) for r in runs]


class CaptureToBdf(ScratchCase):
    def setUp(self):
        super().setUp()
        capture = make_capture(self.path("five.cap"), BOARDS)
        self.proc = run([PALVEX_DECODE, capture, "--output", self.path("five.csv"), "--bdf", self.path("rec.bdf"),
                         "--rate", RATE])
        self.assertEqual(self.proc.returncode, 0, self.proc.stderr)
        self.header, rows = read_csv(self.path("five.csv"))
        self.boards = rows_by_board(self.header, rows)

    def test_every_board_has_its_signals_with_the_csv_values(self):
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(["five.cap", "five.csv"] +
                                                              [f"rec_{s}.bdf" for s in BOARDS]))
        for ssid, family in BOARDS.items():
            with self.subTest(board=ssid, family=family):
                d = dump(self.path(f"rec_{ssid}.bdf"))
                rows = self.boards[ssid]
                self.assertEqual(d["filetype"], 3)  # BDF+
                self.assertEqual(d["datarecord_duration"], 10_000_000)  # one second
                self.assertEqual(d["datarecords"], math.ceil(len(rows) / RATE))
                self.assertIn(family.replace("_", " "), d["equipment"])  # EDF+ header fields have no "_"
                self.assertEqual([s["label"] for s in d["signals"]], SIGNALS[family])
                for s in d["signals"]:
                    self.assertEqual(s["unit"], unit_of(s["label"]), s["label"])
                    self.assertEqual(s["smp_in_datarecord"], RATE)
                    col = self.header.index(s["label"])
                    want = [float(r[col]) for r in rows]
                    got = s["physical"]
                    self.assertEqual(len(got), d["datarecords"] * RATE)
                    for k, v in enumerate(want):
                        self.assertAlmostEqual(got[k], v, delta=1e-9 * max(1.0, abs(v)),
                                               msg=f"{s['label']} row {k}")
                    # The last record is padded with the last row.
                    self.assertEqual(set(got[len(want):]) - {got[len(want) - 1]}, set())
                    # ExG is stored as the board's int24 counts themselves.
                    if s["label"].startswith("exg") and family != "WUA2":
                        self.assertEqual(s["digital"][:len(want)], [round(v / 0.045) for v in want])

    def test_each_run_of_filler_rows_is_a_lost_packets_annotation(self):
        for ssid in BOARDS:
            with self.subTest(board=ssid):
                d = dump(self.path(f"rec_{ssid}.bdf"))
                runs = filler_runs(self.header, self.boards[ssid])
                self.assertEqual(len(runs), 3)  # one lost packet per gap (summary: 3 lost)
                self.assertEqual([(a["text"], a["onset"], a["duration"]) for a in d["annotations"]],
                                 [("lost packets: 1", start * 10_000_000 // RATE, f"{n / RATE:.4f}")
                                  for start, n in runs])

    def test_mne_reads_names_units_rate_values_and_annotations(self):
        import mne  # Debian's python3-mne
        for ssid in ("A1", "B2", "E5"):
            with self.subTest(board=ssid):
                raw = mne.io.read_raw_bdf(self.path(f"rec_{ssid}.bdf"), preload=True, verbose="error")
                rows = self.boards[ssid]
                self.assertEqual(raw.info["sfreq"], RATE)
                self.assertEqual(raw.ch_names, SIGNALS[BOARDS[ssid]])
                data = raw.get_data()
                for i, name in enumerate(raw.ch_names):
                    # MNE gives microvolts in volts and keeps other units as they are.
                    scale = 1e-6 if name.startswith("exg") else 1.0
                    if name.startswith("exg"):
                        self.assertEqual(raw._orig_units[name], "µV")
                    col = self.header.index(name)
                    for k, r in enumerate(rows):
                        v = float(r[col])
                        self.assertAlmostEqual(data[i, k] / scale, v, delta=1e-9 * max(1.0, abs(v)),
                                               msg=f"{name} row {k}")
                runs = filler_runs(self.header, rows)
                self.assertEqual(list(raw.annotations.description), ["lost packets: 1"] * len(runs))
                for onset, (start, _) in zip(raw.annotations.onset, runs):
                    self.assertAlmostEqual(onset, start / RATE, places=4)


class RateAndNames(ScratchCase):
    def descriptor(self, **extra):
        proc = run([PALVEX_DECODE, "--show-descriptor"])
        d = json.loads(proc.stdout)
        d.update(extra)
        path = self.path("board.json")
        with open(path, "w") as f:
            json.dump(d, f)
        return path

    def test_rate_from_the_option_or_the_descriptor(self):
        capture = make_capture(self.path("one.cap"), {"A1": "MES_2"}, packets=100)
        cases = [  # descriptor sampling_rate, --rate, expected rate
            (None, 125, 125),
            (500, None, 500),
            (500, 125, 125),  # the option wins
        ]
        for sampling_rate, option, want in cases:
            with self.subTest(sampling_rate=sampling_rate, option=option):
                out = self.path(f"one-{want}-{sampling_rate}.bdf")
                args = [PALVEX_DECODE, capture, "--bdf", out]
                if sampling_rate is not None:
                    args += ["--descriptor", self.descriptor(sampling_rate=sampling_rate)]
                if option is not None:
                    args += ["--rate", option]
                proc = run(args)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(proc.stdout, "")  # no CSV without --output
                d = dump(out)  # one board: the name as given
                self.assertEqual({s["smp_in_datarecord"] for s in d["signals"]}, {want})
                self.assertEqual(len(d["signals"][0]["physical"]), d["datarecords"] * want)

    def test_errors(self):
        capture = make_capture(self.path("one.cap"), {"A1": "MES_2"}, packets=10)
        cases = [  # arguments, exit status, last line of stderr
            ([capture, "--bdf", self.path("x.bdf")], 2, r"--bdf needs the sampling rate: give --rate HZ or "
                                                        r"\"sampling_rate\" in the descriptor"),
            ([capture, "--rate", 250], 2, r"--rate is for --bdf"),
            ([capture, "--bdf", self.path("x.bdf"), "--rate", 0], 2, r"--rate wants a whole number"),
            ([capture, "--bdf", self.path("x.bdf"), "--rate", "2.5"], 2, r"--rate wants a whole number"),
            ([capture, "--bdf", self.path("x.bdf"), "--descriptor", self.descriptor(sampling_rate="fast")], 1,
             r"\"sampling_rate\" must be a whole number"),
            ([capture, "--bdf", self.path("no/such/dir/x.bdf"), "--rate", 250], 1, r"cannot write .*x\.bdf"),
        ]
        for args, status, pattern in cases:
            with self.subTest(args=args[1:]):
                self.assert_one_line_error(run([PALVEX_DECODE] + args), pattern, status)
        self.assertFalse(os.path.exists(self.path("x.bdf")))


class LiveToBdf(ScratchCase):
    """Needs [::1]:5005."""

    def test_sigterm_ends_complete_files_with_the_trigger(self):
        with Simulator(["--board", "A1:MES_4", "--board", "B2:WUA2", "--duration", 30], self.dir):
            err_path = self.path("decode.err")

            def errors():
                with open(err_path) as f:
                    return f.read()

            with open(err_path, "w") as err:
                args = [PALVEX_DECODE, "--hub", "::1", "--duration", 30, "--trigger", "--trigger-board", "A1",
                        "--bdf", self.path("live.bdf"), "--rate", RATE, "-o", self.path("live.csv")]
                proc = subprocess.Popen([str(a) for a in args], stdout=subprocess.DEVNULL, stderr=err)
                try:
                    deadline = time.monotonic() + 15
                    while "trigger command 01 sent" not in errors():
                        self.assertLess(time.monotonic(), deadline, errors())
                        self.assertIsNone(proc.poll(), errors())
                        time.sleep(0.05)
                    time.sleep(1.5)  # more than one data record after the trigger
                    proc.send_signal(signal.SIGTERM)
                    self.assertEqual(proc.wait(15), 0, errors())
                finally:
                    if proc.poll() is None:
                        proc.kill()
                        proc.wait()
        self.assertEqual(sorted(f for f in os.listdir(self.dir) if f.endswith(".bdf")),
                         ["live_A1.bdf", "live_B2.bdf"])
        header, rows = read_csv(self.path("live.csv"))
        boards = rows_by_board(header, rows)
        for ssid in ("A1", "B2"):
            with self.subTest(board=ssid):
                # EDFlib's reader checks the header's record count against the file size.
                d = dump(self.path(f"live_{ssid}.bdf"))
                n = len(boards[ssid])
                self.assertEqual(d["datarecords"], math.ceil(n / RATE))
                triggers = [a for a in d["annotations"] if a["text"] == "trigger"]
                self.assertEqual(len(triggers), 1, d["annotations"])
                # Sent one second into the session, on the board's own time line.
                self.assertGreater(triggers[0]["onset"], 0)
                self.assertLess(triggers[0]["onset"], n * 10_000_000 // RATE)
                col = header.index("exg_0")
                self.assertEqual([round(v / 0.045) for v in d["signals"][0]["physical"][:n]],
                                 [round(float(r[col]) / 0.045) for r in boards[ssid]])

    def test_a_killed_run_keeps_every_data_record_but_the_last(self):
        import mne  # Debian's python3-mne
        out = self.path("killed.bdf")
        with Simulator(["--board", "A1:MES_2", "--rate", 1000, "--duration", 30], self.dir):
            args = [PALVEX_DECODE, "--hub", "::1", "--duration", 30, "--board", "A1", "--bdf", out, "--rate", RATE,
                    "-o", self.path("killed.csv")]
            proc = subprocess.Popen([str(a) for a in args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                # 15 signals and 8 annotation signals: a 6 KB header and 12 KB
                # data records, so 80 KB is more than five records.
                deadline = time.monotonic() + 15
                while not (os.path.exists(out) and os.path.getsize(out) > 80_000):
                    self.assertLess(time.monotonic(), deadline)
                    self.assertIsNone(proc.poll())
                    time.sleep(0.02)
            finally:
                proc.kill()
                proc.wait()
        raw = mne.io.read_raw_bdf(out, preload=True, verbose="error")
        self.assertEqual(raw.n_times % RATE, 0)
        self.assertGreaterEqual(raw.n_times, 3 * RATE)
        with open(self.path("killed.csv"), newline="") as f:
            text = f.read()
        header, rows = read_csv(text[:text.rfind("\n") + 1], text=True)
        # Rows still in the last record (and in stdio buffers) are what is lost.
        self.assertGreaterEqual(raw.n_times, len(rows) - 2 * RATE)
        col = header.index("exg_0")
        n = min(raw.n_times, len(rows))
        self.assertEqual([round(v / 0.045e-6) for v in raw.get_data(picks=["exg_0"])[0][:n]],
                         [round(float(r[col]) / 0.045) for r in rows[:n]])


if __name__ == "__main__":
    unittest.main()
