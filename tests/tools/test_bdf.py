"""palvex-decode --bdf: BDF+ files from captures that corvel-sim writes and
from a live simulator, read back with EDFlib's reader (bdf-dump) and with
MNE-Python, and compared with the CSV of the same run. Every row sits at
the sample its packet number gives, and every annotation at its rows' time."""
import datetime
import json
import math
import os
import signal
import subprocess
import time
import unittest

from tooltest import (EVERY_FAMILY, PALVEX_DECODE, ScratchCase, Simulator, make_capture, read_csv, rows_by_board,
                      run)

BDF_DUMP = os.environ.get("BDF_DUMP", "bdf-dump")
RATE = 250
MAX_FILLED = 1 << 20  # PALVEX_MAX_FILLED_ROWS

EXG = [f"exg_{i}" for i in range(8)]
MOTION = ["accel_x", "accel_y", "accel_z", "gyro_x", "gyro_y", "gyro_z"]
RES = [f"resistance_{i}" for i in range(10)]
# The signals of each family, in file order, by their CSV names.
SIGNALS = {
    "MES_4": EXG + MOTION + ["ppg_0", "ppg_1", "battery"],
    "MES_5": EXG + MOTION + ["ppg_0", "ppg_1", "ppg_2", "battery"],
    "MES_2": EXG + MOTION + ["battery"],
    "WUA2": EXG + RES + MOTION + ["battery"],
    "IMP_3": RES + ["battery"],
}
UNIT = {"exg": "uV", "accel": "g", "gyro": "deg/s", "resistance": "Ohm", "ppg": "a.u.", "battery": "%"}


def unit_of(name):
    return UNIT[name.split("_")[0]]


def mne_name(name):
    """The name MNE gives a signal: its label less the type; the 16-character label shortens resistances."""
    return name.replace("resistance_", "res_")


def label_of(name):
    return ("EEG " if name.startswith("exg") else "MISC ") + mne_name(name)


def dump(path):
    proc = run([BDF_DUMP, path], timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def time_line(header, rows):
    """Each row's sample index: its packet number less the first, going on at
    the next sample where the numbers do not follow on (as the library sees it)."""
    pn = header.index("package_num")
    numbers = [int(r[pn]) for r in rows]
    out = [0]
    for before, n in zip(numbers, numbers[1:]):
        step = (n - before) % (1 << 32)
        out.append(out[-1] + (step if 1 <= step <= MAX_FILLED + 1 else 1))
    return out


def loss_runs(header, rows, places):
    """(start sample, samples, lost packets) of every stretch of fillers (and numbers missing
    without them): every sample of it is a missing packet number, two to a packet."""
    fi = header.index("filler")
    runs = []
    start = None
    for i, (r, at) in enumerate(zip(rows, places)):
        gap = i > 0 and at > places[i - 1] + 1
        if (r[fi] == "1" or gap) and start is None:
            start = places[i - 1] + 1 if gap else at
        if r[fi] != "1" and start is not None:
            runs.append((start, at - start, (at - start + 1) // 2))
            start = None
    if start is not None:
        end = places[-1] + 1
        runs.append((start, end - start, (end - start + 1) // 2))
    return runs


class CaptureToBdf(ScratchCase):
    """Random losses on a board of every family, then the counter restarts (a second capture appended)."""

    def setUp(self):
        super().setUp()
        first = make_capture(self.path("a.cap"), EVERY_FAMILY, packets=700, lose_every=0,
                             extra=["--loss", 0.03, "--seed", 5])
        again = make_capture(self.path("b.cap"), EVERY_FAMILY, packets=60, lose_every=0)
        with open(self.path("five.cap"), "wb") as out:
            for part in (first, again):
                with open(part, "rb") as f:
                    out.write(f.read())
        self.proc = run([PALVEX_DECODE, self.path("five.cap"), "--output", self.path("five.csv"), "--bdf",
                         self.path("rec.bdf"), "--sample-rate", RATE, "--start-time", "2024-05-01T13:45:00.25"])
        self.assertEqual(self.proc.returncode, 0, self.proc.stderr)
        self.header, rows = read_csv(self.path("five.csv"))
        self.boards = rows_by_board(self.header, rows)

    def test_every_row_sits_at_the_sample_of_its_packet_number(self):
        self.assertEqual(sorted(f for f in os.listdir(self.dir) if f.endswith(".bdf")),
                         [f"rec_{s}.bdf" for s in EVERY_FAMILY])
        for ssid, family in EVERY_FAMILY.items():
            with self.subTest(board=ssid, family=family):
                d = dump(self.path(f"rec_{ssid}.bdf"))
                rows = self.boards[ssid]
                places = time_line(self.header, rows)
                span = places[-1] + 1
                self.assertEqual(span, len(rows))  # every sample has its row: fillers stand for the lost packets
                self.assertEqual(d["filetype"], 3)  # BDF+
                self.assertEqual(d["datarecord_duration"], 10_000_000)  # one second
                self.assertEqual(d["datarecords"], math.ceil(span / RATE))
                self.assertEqual((d["start"], d["start_subsecond"]), ("2024-05-01T13:45:00", 2_500_000))
                self.assertIn(family.replace("_", " "), d["equipment"])  # EDF+ header fields have no "_"
                self.assertEqual([s["label"] for s in d["signals"]], [label_of(n) for n in SIGNALS[family]])
                for s, name in zip(d["signals"], SIGNALS[family]):
                    self.assertEqual(s["unit"], unit_of(name), name)
                    self.assertEqual(s["smp_in_datarecord"], RATE)
                    col = self.header.index(name)
                    got = s["physical"]
                    self.assertEqual(len(got), d["datarecords"] * RATE)
                    held = None
                    for k, (r, at) in enumerate(zip(rows, places)):
                        v = float(r[col])
                        self.assertAlmostEqual(got[at], v, delta=1e-9 * max(1.0, abs(v)), msg=f"{name} row {k}")
                        # Samples of packets that never arrived repeat the row before them.
                        if k and at > places[k - 1] + 1:
                            self.assertEqual(set(got[places[k - 1] + 1:at]), {held}, f"{name} before row {k}")
                        held = got[at]
                    # The last record is padded with the last row.
                    self.assertEqual(set(got[span:]) - {got[span - 1]}, set())
                    # ExG is stored as the board's int24 counts themselves.
                    if name.startswith("exg") and family != "WUA2":
                        self.assertEqual([s["digital"][at] for at in places],
                                         [round(float(r[col]) / 0.045) for r in rows])

    def test_annotations_sit_at_their_row_numbers_times(self):
        pn = self.header.index("package_num")
        for ssid in EVERY_FAMILY:
            with self.subTest(board=ssid):
                d = dump(self.path(f"rec_{ssid}.bdf"))
                rows = self.boards[ssid]
                places = time_line(self.header, rows)
                runs = loss_runs(self.header, rows, places)
                self.assertGreater(len(runs), 5)
                self.assertTrue(any(lost > 1 for _, _, lost in runs) or len(runs) > 15)
                want = [(start * 10_000_000 // RATE, n / RATE, f"lost packets: {lost}") for start, n, lost in runs]
                restart = next(k for k in range(1, len(rows)) if int(rows[k][pn]) <= int(rows[k - 1][pn]))
                want.append((places[restart] * 10_000_000 // RATE, None,
                             f"counter discontinuity: {rows[restart - 1][pn]} to {rows[restart][pn]}"))
                got = [(a["onset"], float(a["duration"]) if a["duration"] else None, a["text"])
                       for a in d["annotations"]]
                self.assertEqual(sorted(got, key=lambda a: a[0]), sorted(want, key=lambda a: a[0]))
                # The summary counts the packets the annotations do.
                lost = sum(int(t.split(": ")[1]) for _, _, t in got if t.startswith("lost"))
                self.assertRegex(self.proc.stderr, rf"board {ssid} \(.*\): .* {lost} lost packets, .*"
                                                   rf"1 counter discontinuity")

    def test_mne_reads_types_names_units_values_and_annotations(self):
        import mne  # Debian's python3-mne
        for ssid, family in EVERY_FAMILY.items():
            with self.subTest(board=ssid):
                raw = mne.io.read_raw_bdf(self.path(f"rec_{ssid}.bdf"), preload=True, infer_types=True,
                                          verbose="error")
                rows = self.boards[ssid]
                places = time_line(self.header, rows)
                self.assertEqual(raw.info["sfreq"], RATE)
                self.assertEqual(raw.ch_names, [mne_name(n) for n in SIGNALS[family]])
                self.assertEqual(raw.get_channel_types(),
                                 ["eeg" if n.startswith("exg") else "misc" for n in SIGNALS[family]])
                self.assertEqual(raw.info["meas_date"].replace(tzinfo=None, microsecond=0),
                                 datetime.datetime(2024, 5, 1, 13, 45, 0))
                data = raw.get_data()
                for i, name in enumerate(SIGNALS[family]):
                    # MNE gives microvolts in volts and keeps other units as they are.
                    scale = 1e-6 if name.startswith("exg") else 1.0
                    col = self.header.index(name)
                    for k, (r, at) in enumerate(zip(rows, places)):
                        v = float(r[col])
                        self.assertAlmostEqual(data[i, at] / scale, v, delta=1e-9 * max(1.0, abs(v)),
                                               msg=f"{name} row {k}")
                runs = loss_runs(self.header, rows, places)
                lost = [(o, dur) for o, dur, t in zip(raw.annotations.onset, raw.annotations.duration,
                                                       raw.annotations.description) if t.startswith("lost")]
                self.assertEqual(len(lost), len(runs))
                for (onset, duration), (start, n, _) in zip(lost, runs):
                    self.assertAlmostEqual(onset, start / RATE, places=4)
                    self.assertAlmostEqual(duration, n / RATE, places=4)


class ConstantBoard(ScratchCase):
    def test_constant_channels_get_the_annotations_of_varying_ones(self):
        capture = make_capture(self.path("c.cap"), {"V": "WUA2", "F": "WUA2:constant"}, packets=500, lose_every=30)
        proc = run([PALVEX_DECODE, capture, "--bdf", self.path("c.bdf"), "--sample-rate", RATE])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        varying, constant = dump(self.path("c_V.bdf")), dump(self.path("c_F.bdf"))
        self.assertEqual(len(varying["annotations"]), 16)  # packets 30, 60, ... 480 lost
        self.assertEqual(constant["annotations"], varying["annotations"])
        self.assertEqual(constant["datarecords"], varying["datarecords"])


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
        cases = [  # descriptor sampling_rate, --sample-rate, expected rate
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
                    args += ["--sample-rate", option]
                proc = run(args)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertEqual(proc.stdout, "")  # no CSV without --output
                d = dump(out)  # one board: the name as given
                self.assertEqual({s["smp_in_datarecord"] for s in d["signals"]}, {want})
                self.assertEqual(len(d["signals"][0]["physical"]), d["datarecords"] * want)
                # A capture holds no clock: EDF's date for an unknown one.
                self.assertEqual((d["start"], d["start_subsecond"]), ("1985-01-01T00:00:00", 0))

    def test_errors(self):
        capture = make_capture(self.path("one.cap"), {"A1": "MES_2"}, packets=10)
        cases = [  # arguments, exit status, last line of stderr
            ([capture, "--bdf", self.path("x.bdf")], 2, r"--bdf needs the sampling rate: give --sample-rate HZ or "
                                                        r"\"sampling_rate\" in the descriptor"),
            ([capture, "--bdf", self.path("x.bdf"), "--sample-rate", 0], 2, r"--sample-rate wants a whole number"),
            ([capture, "--bdf", self.path("x.bdf"), "--sample-rate", "2.5"], 2, r"--sample-rate wants a whole number"),
            ([capture, "--bdf", self.path("x.bdf"), "--descriptor", self.descriptor(sampling_rate="fast")], 1,
             r"\"sampling_rate\" must be a whole number"),
            ([capture, "--bdf", self.path("no/such/dir/x.bdf"), "--sample-rate", 250], 1, r"cannot write .*x\.bdf"),
            ([capture, "--bdf", self.path("x.bdf"), "--sample-rate", 250, "--start-time", "1984-12-31T23:59:59"], 2,
             r"--start-time wants a local date and time"),
        ]
        for args, status, pattern in cases:
            with self.subTest(args=args[1:]):
                self.assert_one_line_error(run([PALVEX_DECODE] + args), pattern, status)
        self.assertFalse(os.path.exists(self.path("x.bdf")))


class LiveToBdf(ScratchCase):
    """Needs [::1]:5005."""

    def test_sigterm_ends_complete_files_on_the_packet_number_time_line(self):
        with Simulator(["--board", "A1:MES_4", "--board", "B2:WUA2", "--lose-every", 40, "--duration", 30],
                       self.dir):
            err_path = self.path("decode.err")

            def errors():
                with open(err_path) as f:
                    return f.read()

            with open(err_path, "w") as err:
                args = [PALVEX_DECODE, "--hub", "::1", "--duration", 30, "--trigger", "--trigger-board", "A1",
                        "--bdf", self.path("live.bdf"), "--sample-rate", RATE, "-o", self.path("live.csv")]
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
                places = time_line(header, boards[ssid])
                span = places[-1] + 1
                self.assertEqual(span, len(boards[ssid]))  # every sample a row, fillers included
                self.assertEqual(d["datarecords"], math.ceil(span / RATE))
                self.assertEqual(d["start"][:4], str(datetime.date.today().year))
                triggers = [a for a in d["annotations"] if a["text"] == "trigger"]
                self.assertEqual(len(triggers), 1, d["annotations"])
                # Sent one second into the session, on the board's own time line.
                self.assertGreater(triggers[0]["onset"], 0)
                self.assertLess(triggers[0]["onset"], span * 10_000_000 // RATE)
                losses = [a["onset"] for a in d["annotations"] if a["text"].startswith("lost")]
                self.assertEqual(losses, [s * 10_000_000 // RATE for s, _, _ in loss_runs(header, boards[ssid], places)])
                col = header.index("exg_0")
                self.assertEqual([round(d["signals"][0]["physical"][at] / 0.045) for at in places],
                                 [round(float(r[col]) / 0.045) for r in boards[ssid]])

    def test_a_killed_run_keeps_every_data_record_but_the_last(self):
        import mne  # Debian's python3-mne
        out = self.path("killed.bdf")
        with Simulator(["--board", "A1:MES_2", "--packet-rate", 1000, "--duration", 30], self.dir):
            args = [PALVEX_DECODE, "--hub", "::1", "--duration", 30, "--board", "A1", "--bdf", out, "--sample-rate",
                    RATE, "-o", self.path("killed.csv")]
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
        raw = mne.io.read_raw_bdf(out, preload=True, infer_types=True, verbose="error")
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
