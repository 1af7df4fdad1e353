"""palvex-plot on CSVs that palvex-decode made from simulator captures."""
import os
import struct
import unittest

from tooltest import PALVEX_DECODE, PALVEX_PLOT, ScratchCase, make_capture, read_csv, run


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    return struct.unpack(">II", head[16:24])


class Plot(ScratchCase):
    def setUp(self):
        super().setUp()
        self.csv = self.path("demo.csv")
        make_capture(self.path("c.cap"), {"C3": "IMP_3", "A1": "MES_4", "B2": "WUA2", "D4": "MES_2", "E5": "MES_5"},
                     packets=400, lose_every=90)
        proc = run([PALVEX_DECODE, self.path("c.cap"), "-o", self.csv])
        self.assertEqual(proc.returncode, 0, proc.stderr)

    def test_draws_the_first_board_with_exg_and_marks_fillers(self):
        proc = run([PALVEX_PLOT, self.csv], timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        out = self.path("demo.png")
        self.assertEqual(png_size(out), (800, 600))
        self.assertGreater(os.path.getsize(out), 20000)
        # C3 (IMP_3) has no ExG: A1 is drawn. 2 s at 250 rows/s: packets 90 and
        # 180 are lost, each gives 2 filler rows; every other packet is decoded.
        self.assertEqual(proc.stderr.strip(), f"palvex-plot: wrote {out} (board A1, MES_4, exg accel gyro ppg "
                                              f"battery; 501 rows, 4 filler rows, 2.00 s)")

    def test_each_family_gets_its_panels(self):
        cases = [
            ("A1", "MES_4", "exg accel gyro ppg battery"),
            ("E5", "MES_5", "exg accel gyro ppg battery"),
            ("D4", "MES_2", "exg accel gyro battery"),
            ("B2", "WUA2", "exg accel gyro resistance battery"),
            ("C3", "IMP_3", "resistance battery"),
        ]
        for ssid, family, panels in cases:
            with self.subTest(board=ssid):
                out = self.path(f"{ssid}.png")
                proc = run([PALVEX_PLOT, self.csv, "--ssid", ssid, "-o", out], timeout=120)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertIn(f"(board {ssid}, {family}, {panels}; 501 rows, 4 filler rows, 2.00 s)", proc.stderr)
                self.assertEqual(png_size(out), (800, 600))

    def test_seconds_and_the_time_line(self):
        # Without time_s the packet numbers at --sample-rate; with it (the
        # decoder knew the rate) the decoder's own time line.
        out = self.path("b2.png")
        proc = run([PALVEX_PLOT, self.csv, "--ssid", "B2", "--seconds", 1, "--sample-rate", 500, "-o", out],
                   timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("501 rows, 4 filler rows, 1.00 s)", proc.stderr)
        proc = run([PALVEX_DECODE, self.path("c.cap"), "--sample-rate", 500, "-o", self.path("timed.csv")])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        proc = run([PALVEX_PLOT, self.path("timed.csv"), "--ssid", "B2", "--seconds", 1, "-o", out], timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("501 rows, 4 filler rows, 1.00 s)", proc.stderr)

    def test_fillers_come_from_the_filler_column_only(self):
        # Without the column nothing is shaded: repeated values are no loss.
        header, rows = read_csv(self.csv)
        with open(self.path("old.csv"), "w") as f:
            f.write(",".join(header[:-1]) + "\n")
            for r in rows:
                f.write(",".join(r[:-1]) + "\n")
        proc = run([PALVEX_PLOT, self.path("old.csv")], timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("(board A1, MES_4, exg accel gyro ppg battery; 501 rows, no filler column, 2.00 s)", proc.stderr)

    def test_errors(self):
        with open(self.path("no_numbers.csv"), "w") as f:
            f.write("ssid,exg_0\nA1,1\n")
        with open(self.path("ragged.csv"), "w") as f:
            f.write("ssid,exg_0,package_num\nA1,1,1\nA1,2\n")
        with open(self.path("text.csv"), "w") as f:
            f.write("ssid,exg_0,package_num\nA1,one,1\n")
        with open(self.path("empty.csv"), "w") as f:
            pass
        cases = [
            ("missing file", [self.path("none.csv")], r"cannot read .*none\.csv"),
            ("empty file", [self.path("empty.csv")], r"empty\.csv is empty"),
            ("not from palvex-decode", [self.path("no_numbers.csv")], r"has no 'package_num' column"),
            ("ragged rows", [self.path("ragged.csv")], r"line 3: 2 fields, the header has 3"),
            ("text value", [self.path("text.csv")], r"not a number"),
            ("unknown board", [self.csv, "--ssid", "Q9", "-o", self.path("q.png")],
             r"no rows of board 'Q9'; the CSV holds board\(s\) C3 \(IMP_3\), A1 \(MES_4\), B2 \(WUA2\), "
             r"D4 \(MES_2\), E5 \(MES_5\)$"),
            ("unwritable picture", [self.csv, "-o", self.path("no/dir/x.png")], r"cannot write .*x\.png"),
        ]
        for name, args, pattern in cases:
            with self.subTest(name):
                proc = run([PALVEX_PLOT] + args, timeout=120)
                self.assert_one_line_error(proc, r"^palvex-plot: .*" + pattern)
        for args in (["--seconds", "0", self.csv], ["-"], ["--bogus", self.csv], ["--sample-rate=-1", self.csv]):
            with self.subTest(args=args):
                self.assertEqual(run([PALVEX_PLOT] + args).returncode, 2)

    def test_help_and_version(self):
        proc = run([PALVEX_PLOT, "--help"])
        self.assertEqual(proc.returncode, 0)
        for option in ["--output", "--ssid", "--seconds", "--sample-rate", "--version", "samples"]:
            self.assertIn(option, proc.stdout)
        proc = run([PALVEX_PLOT, "--version"])
        self.assertEqual(proc.returncode, 0)
        self.assertRegex(proc.stdout, r"^palvex-plot \(PalvexWrapper\) \d+\.\d+\.\d+\n$")


if __name__ == "__main__":
    unittest.main()
