"""palvex-decode on damaged captures: a corrupted length, junk between
chunks, a chunk with bytes torn out, a cut end, SSIDs of raw bytes, and a
board whose family switches to one the descriptor cannot serve. Damage costs
the chunks it hit and nothing else. No network."""
import json
import re

from tooltest import (PALVEX_DECODE, ScratchCase, chunk, chunk_bytes, damaged_captures, make_capture, read_csv, run,
                      summary)

BOARDS = {"A1": "MES_4", "B2": "WUA2", "C3": "IMP_3"}
STRETCH = re.compile(r"^palvex-decode: capture .*: skipped (\d+) bytes? at byte (\d+), where no chunk boundary "
                     r"was found$", re.M)


class Damage(ScratchCase):
    def setUp(self):
        super().setUp()
        self.clean = chunk_bytes(make_capture(self.path("clean.cap"), BOARDS, packets=200, lose_every=0))

    def decode(self, capture, *args):
        proc = run([PALVEX_DECODE, capture, "-o", self.path("out.csv")] + list(args))
        with open(self.path("out.csv"), "rb") as f:
            text = f.read().decode("utf-8")  # strictly: the CSV is always UTF-8
        return proc, read_csv(text, text=True)

    def test_damage_costs_the_chunks_it_hit_and_each_stretch_is_one_warning(self):
        for damage in damaged_captures(self.clean):
            with self.subTest(damage.name):
                damaged, whole = damage.write(self.dir)
                proc, (header, rows) = self.decode(damaged)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                expected = self.decode(whole)[1]
                self.assertEqual(header, expected[0])
                self.assertEqual(rows, expected[1])
                self.assertEqual(set(summary(proc.stderr)), set(BOARDS), "no board made up from skipped bytes")
                got = [(int(at), int(n)) for n, at in STRETCH.findall(proc.stderr)]
                self.assertEqual(got, damage.stretches)
                total = sum(n for _, n in damage.stretches)
                self.assertIn(f"palvex-decode: skipped {total} bytes in {len(got)} damaged "
                              f"{'stretch' if len(got) == 1 else 'stretches'} of the capture", proc.stderr)

    def test_a_capture_that_ends_inside_a_chunk_says_so_and_keeps_the_rows_before(self):
        data = b"".join(self.clean)
        whole = self.decode(self.path("clean.cap"))[1][1]
        last = len(data) - len(self.clean[-1])  # board C3's (IMP_3): 10 + 91 bytes
        for name, kept in [("inside a header", 6), ("inside a payload", 40)]:
            with self.subTest(name):
                with open(self.path("cut.cap"), "wb") as f:
                    f.write(data[:last + kept])
                proc, (header, rows) = self.decode(self.path("cut.cap"))
                self.assertEqual(proc.returncode, 0, proc.stderr)
                self.assertRegex(proc.stderr, rf"palvex-decode: truncated capture .*cut\.cap: the chunk at byte "
                                              rf"{last} is cut off by the end \({kept} bytes of it present\)")
                self.assertEqual(rows, whole[:-2], "every row but the cut chunk's two")
                self.assertNotIn("skipped", proc.stderr)

    def test_ssids_of_raw_bytes_are_escaped_so_the_csv_stays_utf8(self):
        raw = [c[10:] for c in self.clean[:30:3]]  # board A1's first ten packets
        with open(self.path("raw.cap"), "wb") as f:
            f.write(b"".join(b"\xff\xfeZ\\\x01\0" + c[6:10] + c[10:] for c in self.clean[:30:3]))
            f.write(b"".join(chunk("A1", p) for p in raw))
        proc, (header, rows) = self.decode(self.path("raw.cap"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        escaped = "\\xff\\xfeZ\\x5c\\x01"
        self.assertEqual([r[0] for r in rows], [escaped] * 20 + ["A1"] * 20)
        self.assertEqual(rows[:20], [[escaped] + r[1:] for r in rows[20:]])
        self.assertIn(f"palvex-decode: board {escaped} (MES_4): 20 rows", proc.stderr)

    def test_a_family_the_descriptor_cannot_serve_costs_its_chunks_only(self):
        # 39 MES_4 packets, one MES_5, then MES_4 again; the descriptor has
        # no raw PPG columns, which MES_5 needs.
        mes4 = self.clean[::3][:70]
        mes5 = make_capture(self.path("m5.cap"), {"A1": "MES_5"}, packets=50, lose_every=0)
        switching = mes4[:39] + [chunk_bytes(mes5)[39]] + mes4[40:]
        with open(self.path("switch.cap"), "wb") as f:
            f.write(b"".join(switching))
        with open(self.path("no-raw-ppg.json"), "w") as f:
            d = json.loads(run([PALVEX_DECODE, "--show-descriptor"]).stdout)
            del d["ppg_raw_channels"]
            json.dump(d, f)
        proc, (header, rows) = self.decode(self.path("switch.cap"), "--descriptor", self.path("no-raw-ppg.json"))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        numbers = [int(r[header.index("package_num")]) for r in rows]
        self.assertEqual(numbers, list(range(1, 79)) + list(range(81, 141)), "every MES_4 row, the later ones too")
        self.assertIn("1 MES_5 buffer not decoded: the descriptor does not serve MES_5", proc.stderr)
        self.assertRegex(proc.stderr, r"cannot decode MES_5 packets")  # the library's own line names it
        self.assertNotIn("MES_4 buffer", proc.stderr)
