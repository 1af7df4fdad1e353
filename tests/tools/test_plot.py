"""palvex-plot on CSVs that palvex-decode made from simulator captures."""
import os
import struct
import unittest

from tooltest import CORVEL_SIM, PALVEX_DECODE, PALVEX_PLOT, ScratchCase, read_csv, run


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    return struct.unpack(">II", head[16:24])


class Plot(ScratchCase):
    def setUp(self):
        super().setUp()
        self.csv = self.path("demo.csv")
        proc = run([CORVEL_SIM, "--capture", self.path("c.cap"), "--packets", 400, "--drop-every", 90,
                    "--board", "C3:IMP_3", "--board", "A1:MES_4", "--board", "B2:WUA2"])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        proc = run([PALVEX_DECODE, self.path("c.cap"), "-o", self.csv])
        self.assertEqual(proc.returncode, 0, proc.stderr)

    def test_draws_the_first_board_with_exg_and_marks_fillers(self):
        proc = run([PALVEX_PLOT, self.csv], timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        out = self.path("demo.png")
        self.assertEqual(png_size(out), (800, 600))
        self.assertGreater(os.path.getsize(out), 20000)
        # C3 (IMP_3) has no ExG: A1 is drawn. 2 s at 250 rows/s: packets 90 and
        # 180 are lost, each gives 8 filler rows (the lost packet and the one
        # that revealed the gap) and the packet after is dropped.
        self.assertEqual(proc.stderr.strip(),
                         f"palvex-plot: wrote {out} (board A1, 497 rows, 8 filler rows, 2.00 s)")

    def test_board_seconds_and_rate_choose_what_is_drawn(self):
        out = self.path("b2.png")
        proc = run([PALVEX_PLOT, self.csv, "--ssid", "B2", "--seconds", 1, "--sample-rate", 500, "-o", out],
                   timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("(board B2, 497 rows, 8 filler rows, 1.00 s)", proc.stderr)
        self.assertEqual(png_size(out), (800, 600))

    def test_fillers_are_found_without_the_filler_column(self):
        header, rows = read_csv(self.csv)
        with open(self.path("old.csv"), "w") as f:
            f.write(",".join(header[:-1]) + "\n")
            for r in rows:
                f.write(",".join(r[:-1]) + "\n")
        proc = run([PALVEX_PLOT, self.path("old.csv")], timeout=120)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn("(board A1, 497 rows, 8 filler rows, 2.00 s)", proc.stderr)

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
            ("unknown board", [self.csv, "--ssid", "Q9", "-o", self.path("q.png")], r"no rows of board 'Q9'"),
            ("unwritable picture", [self.csv, "-o", self.path("no/dir/x.png")], r"cannot write .*x\.png"),
        ]
        for name, args, pattern in cases:
            with self.subTest(name):
                proc = run([PALVEX_PLOT] + args, timeout=120)
                self.assert_one_line_error(proc, r"^palvex-plot: .*" + pattern)
        for args in (["--seconds", "0", self.csv], ["-"], ["--bogus", self.csv]):
            with self.subTest(args=args):
                self.assertEqual(run([PALVEX_PLOT] + args).returncode, 2)

    def test_help(self):
        proc = run([PALVEX_PLOT, "--help"])
        self.assertEqual(proc.returncode, 0)
        for option in ["--output", "--ssid", "--seconds", "--sample-rate"]:
            self.assertIn(option, proc.stdout)


if __name__ == "__main__":
    unittest.main()
