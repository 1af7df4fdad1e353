"""tools/demo.sh, the README's demo, against the tools of this build. Needs [::1]:5005."""
import os
import re
import unittest

from tooltest import DEMO_SH, ScratchCase, run


class Demo(ScratchCase):
    def test_demo_shows_three_boards_the_summary_and_the_write_frame(self):
        tools = os.path.dirname(os.environ["PALVEX_DECODE"])
        proc = run(["bash", DEMO_SH, "--bin", tools, "--out", self.dir, "--seconds", 2], timeout=90)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        out = proc.stdout
        frames = out.split("== write frame(s) seen by corvel-sim ==\n", 1)[1].split("\n\n", 1)[0]
        self.assertEqual(frames, "write frame 1 (20 bytes): trigger 1, 1 board(s); A1: 01 00 00 00 00")
        for ssid, family in [("A1", "MES_4"), ("B2", "WUA2"), ("C3", "IMP_3")]:
            self.assertRegex(out, rf"palvex-decode: board {ssid} \({family}\): \d+ rows, \d+ filler rows?, ")
        table = out.split("== first rows of every board", 1)[1].splitlines()[1:]
        self.assertEqual(table[0].split()[:3], ["ssid", "time_s", "exg_0"])
        self.assertEqual({line.split()[0] for line in table[1:] if line.strip() and not line.startswith("palvex")},
                         {"A1", "B2", "C3"})
        self.assertRegex(out, r"corvel-sim: board C3 \(IMP_3\): \d+ packets made, \d+ lost")
        self.assertTrue(os.path.getsize(os.path.join(self.dir, "demo.csv")) > 10000)
        self.assertRegex(proc.stderr + out, r"palvex-plot: wrote .*demo\.png \(board A1, ")
        with open(os.path.join(self.dir, "demo.png"), "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

    def test_demo_refuses_a_missing_build(self):
        proc = run(["bash", DEMO_SH, "--bin", self.path("nothing"), "--out", self.dir])
        self.assert_one_line_error(proc, r"^demo\.sh: .*corvel-sim is missing; build first")
        proc = run(["bash", DEMO_SH, "--seconds", "two"])
        self.assert_one_line_error(proc, r"^demo\.sh: --seconds wants a whole number", status=2)
        proc = run(["bash", DEMO_SH, "--help"])
        self.assertEqual(proc.returncode, 0)
        self.assertIn("tools/demo.sh [--bin DIR] [--out DIR] [--seconds N]", proc.stdout)


if __name__ == "__main__":
    unittest.main()
