"""palvex-decode on captures that corvel-sim writes: rows, fillers, the
summary, the time line, descriptors, and every error path. No network."""
import json
import os
import pty
import subprocess
import unittest

from tooltest import (CORVEL_SIM, DEFAULT_COLUMNS, EVERY_FAMILY, FAMILY_CODE, PALVEX_DECODE, ScratchCase, chunk,
                      chunk_bytes, make_capture, read_csv, rows_by_board, run, summary)

BOARDS = EVERY_FAMILY
PACKETS = 400
LOSE_EVERY = 100  # packets 100, 200, 300, 400 of every board never arrive


class CaptureDecoding(ScratchCase):
    def setUp(self):
        super().setUp()
        self.capture = make_capture(self.path("five.cap"), BOARDS, PACKETS, LOSE_EVERY)
        self.proc = run([PALVEX_DECODE, self.capture, "--output", self.path("five.csv")])
        self.assertEqual(self.proc.returncode, 0, self.proc.stderr)
        self.header, self.rows = read_csv(self.path("five.csv"))

    def test_header_names_every_column_by_group(self):
        self.assertEqual(self.header, ["ssid"] + DEFAULT_COLUMNS)
        for row in self.rows:
            self.assertEqual(len(row), len(self.header))

    def test_rows_are_grouped_by_board_in_order_of_appearance(self):
        order = []
        for row in self.rows:
            if not order or order[-1] != row[0]:
                order.append(row[0])
        self.assertEqual(order, list(BOARDS))

    def test_summary_counts_fillers_and_lost_packets(self):
        # Three gaps are seen (the fourth lost packet is the last one): each
        # gives 2 filler rows for the lost packet; every packet sent is decoded.
        got = summary(self.proc.stderr)
        self.assertEqual(set(got), set(BOARDS))
        for ssid, family in BOARDS.items():
            with self.subTest(board=ssid):
                s = got[ssid]
                self.assertEqual(s["family"], family)
                self.assertEqual((s["rows"], s["fillers"], s["lost"]), (798, 6, 3))
                self.assertEqual((s["first"], s["last"]), (1, 798))
                self.assertEqual(len(rows_by_board(self.header, self.rows)[ssid]), 798)

    def test_filler_rows_repeat_the_row_before_with_their_own_numbers(self):
        pn = self.header.index("package_num")
        fi = self.header.index("filler")
        for ssid, rows in rows_by_board(self.header, self.rows).items():
            with self.subTest(board=ssid):
                numbers = [int(r[pn]) for r in rows]
                for i, r in enumerate(rows):
                    if r[fi] != "1":
                        continue
                    prev = rows[i - 1]
                    self.assertEqual(numbers[i], numbers[i - 1] + 1)
                    self.assertEqual(r[:pn] + r[pn + 1:fi], prev[:pn] + prev[pn + 1:fi])
                fillers = [numbers[i] for i, r in enumerate(rows) if r[fi] == "1"]
                # Packets 100, 200 and 300 (rows 199, 200, ...) are lost; everything else arrived.
                self.assertEqual(fillers, [199, 200, 399, 400, 599, 600])
                self.assertEqual(numbers, list(range(1, 799)))

    def test_values_are_those_of_the_simulated_signals(self):
        col = {n: i for i, n in enumerate(self.header)}
        for ssid, rows in rows_by_board(self.header, self.rows).items():
            family = BOARDS[ssid]
            with self.subTest(board=ssid, family=family):
                for r in rows:
                    # MES_5 rows carry the format code of MES_4.
                    self.assertEqual(float(r[col["format_code"]]), 4 if family == "MES_5" else FAMILY_CODE[family])
                    self.assertEqual(float(r[col["valid"]]), 1.0)
                    self.assertTrue(0 <= float(r[col["battery"]]) <= 100)
                exg = [abs(float(r[col["exg_7"]])) for r in rows]
                if family == "IMP_3":
                    self.assertEqual(max(exg), 0.0)
                    res = [float(r[col["resistance_0"]]) for r in rows]
                    self.assertTrue(4500 < min(res) and max(res) < 5500)
                else:
                    # exg_7: a 145 uV sine (plus a little noise)
                    self.assertTrue(130 < max(exg) < 150, max(exg))
                    for r in rows:
                        self.assertAlmostEqual(float(r[col["accel_z"]]), 1.0, delta=0.01)
                ppg = [float(r[col["ppg_0"]]) for r in rows]
                if family == "MES_4":
                    self.assertTrue(min(ppg) >= 0 and max(ppg) > 150)
                elif family != "MES_5":
                    self.assertEqual(set(ppg), {-1.0})

    def test_time_s_is_the_packet_number_over_the_sample_rate(self):
        # With a sampling rate each row gets its place on its board's time
        # line, at its packet number: fillers stand where packets were lost.
        proc = run([PALVEX_DECODE, self.capture, "--sample-rate", 250])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        header, rows = read_csv(proc.stdout, text=True)
        self.assertEqual(header, ["ssid", "time_s"] + DEFAULT_COLUMNS)
        pn = header.index("package_num")
        for ssid, board in rows_by_board(header, rows).items():
            with self.subTest(board=ssid):
                first = int(board[0][pn])
                self.assertEqual([float(r[1]) for r in board], [(int(r[pn]) - first) / 250 for r in board])
        self.assertEqual([r[:1] + r[2:] for r in rows], self.rows)

    def test_list_names_every_board_without_a_csv(self):
        proc = run([PALVEX_DECODE, "--list", self.capture])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        lines = proc.stdout.splitlines()
        self.assertEqual(lines[0].split(), ["ssid", "family", "packets", "packet", "numbers", "lost", "packets"])
        self.assertEqual([l.split() for l in lines[1:]],
                         [[ssid, family, "396", "1..798", "3"] for ssid, family in BOARDS.items()])
        self.assertEqual(proc.stderr, "")
        self.assertEqual(sorted(os.listdir(self.dir)), ["five.cap", "five.csv"])

    def test_standard_output_gets_the_same_csv(self):
        proc = run([PALVEX_DECODE, self.capture])
        self.assertEqual(proc.returncode, 0)
        with open(self.path("five.csv")) as f:
            self.assertEqual(proc.stdout, f.read())
        self.assertEqual(proc.stderr, self.proc.stderr)

    def test_a_descriptor_file_moves_and_names_the_columns(self):
        # 40 columns, every group elsewhere; the values must be the same.
        # (The packet number stays in column 26: WUA2 decoders read it from there whatever
        # the descriptor says.)
        layout = {
            "num_rows": 40, "exg_channels": list(range(10, 18)), "accel_channels": [30, 31, 32],
            "gyro_channels": [0, 1, 2], "resistance_channels": list(range(18, 26)) + [27, 28],
            "ppg_channels": [33, 34], "ppg_raw_channels": [35, 36, 37], "package_num_channel": 26,
            "battery_channel": 3, "other_channels": [4, 5, 6, 7],
        }
        with open(self.path("moved.json"), "w") as f:
            json.dump(layout, f)
        proc = run([PALVEX_DECODE, "--descriptor", self.path("moved.json"), self.capture])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        header, rows = read_csv(proc.stdout, text=True)
        self.assertEqual(header[1 + 10], "exg_0")
        self.assertEqual(header[1 + 26], "package_num")
        self.assertEqual(header[1 + 28], "resistance_9")
        self.assertEqual(header[1 + 35:1 + 38], ["ppg_raw_0", "ppg_raw_1", "ppg_raw_2"])
        self.assertEqual(header[1 + 6:1 + 8], ["nibble_high", "nibble_low"])
        self.assertEqual(header[1 + 29], "valid")
        self.assertEqual(header[1 + 8:1 + 10], ["col_8", "col_9"])
        self.assertEqual(header[1 + 38:1 + 40], ["col_38", "col_39"])
        # Without a "filler_channel" the library is given one more column for it.
        self.assertEqual(header[1 + 40:], ["filler"])
        self.assertEqual(len(rows), len(self.rows))
        shared = [n for n in DEFAULT_COLUMNS if n in header and not n.startswith("ppg")] + ["ssid", "filler"]
        a = {n: i for i, n in enumerate(self.header)}
        b = {n: i for i, n in enumerate(header)}
        for old, new in zip(self.rows, rows):
            self.assertEqual([old[a[n]] for n in shared], [new[b[n]] for n in shared])

    def test_chunks_the_library_refuses_are_counted_and_skipped(self):
        # A header with a negative length (skipped on its own, as the hub
        # reader skips it), a chunk of a wrong size and one with an unknown
        # type word, each between two of board A1's chunks.
        pieces = chunk_bytes(self.capture)
        n = len(pieces)
        for at, bad in [(3 * n // 4, chunk("A1", b"\x09\x00" + bytes(75))), (n // 2, chunk("A1", b"\x04\x00" + bytes(20))),
                        (n // 4, chunk("", b"", length=-1))]:
            pieces.insert(at, bad)
        with open(self.path("bad.cap"), "wb") as f:
            f.write(b"".join(pieces))
        proc = run([PALVEX_DECODE, self.path("bad.cap")])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertRegex(proc.stderr, r"board A1 \(MES_4\): 798 rows.*, 2 buffers refused by the library")
        self.assertIn("skipped 10 bytes in 1 damaged stretch", proc.stderr)
        self.assertEqual(read_csv(proc.stdout, text=True)[1], self.rows)


class Fillers(ScratchCase):
    def test_a_board_with_constant_channels_counts_its_losses_as_any_other(self):
        # The library marks its filler rows: a board whose channels never
        # change is no more lost than one whose signals move.
        capture = make_capture(self.path("flat.cap"), {"V1": "WUA2", "F1": "WUA2:constant", "F2": "MES_4:constant"},
                               packets=600, lose_every=50)
        proc = run([PALVEX_DECODE, capture, "-o", self.path("flat.csv")])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        got = summary(proc.stderr)
        header, rows = read_csv(self.path("flat.csv"))
        boards = rows_by_board(header, rows)
        pn, fi = header.index("package_num"), header.index("filler")
        marks = {ssid: [(r[pn], r[fi]) for r in board] for ssid, board in boards.items()}
        for ssid in ("V1", "F1", "F2"):
            with self.subTest(board=ssid):
                # 12 packets lost (the 600th is the last: no row follows it), 11 seen.
                self.assertEqual((got[ssid]["fillers"], got[ssid]["lost"]), (22, 11))
                self.assertEqual(marks[ssid], marks["V1"])
        # The constant board's rows really are all alike but for their numbers.
        values = {tuple(r[:pn] + r[pn + 1:fi]) for r in boards["F1"]}
        self.assertEqual(len(values), 1)
        listed = run([PALVEX_DECODE, "--list", capture]).stdout.splitlines()[1:]
        self.assertEqual([l.split()[-1] for l in listed], ["11", "11", "11"])

    def test_every_other_packet_lost_is_counted_exactly(self):
        # Packet k carries numbers 2k - 1 and 2k; every even packet never
        # arrives. Each number from the first to the last is in the CSV once,
        # the fillers are exactly the missing ones, and every count agrees.
        capture = make_capture(self.path("half.cap"), BOARDS, packets=200, lose_every=2)
        proc = run([PALVEX_DECODE, capture, "-o", self.path("half.csv")])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        header, rows = read_csv(self.path("half.csv"))
        pn, fi = header.index("package_num"), header.index("filler")
        missing = [n for k in range(2, 200, 2) for n in (2 * k - 1, 2 * k)]  # packet 200 is the last: unseen
        got = summary(proc.stderr)
        for ssid, board in rows_by_board(header, rows).items():
            with self.subTest(board=ssid):
                self.assertEqual([int(r[pn]) for r in board], list(range(1, 399)))
                self.assertEqual([int(r[pn]) for r in board if r[fi] == "1"], missing)
                self.assertEqual((got[ssid]["rows"], got[ssid]["fillers"], got[ssid]["lost"]), (398, 198, 99))
        listed = run([PALVEX_DECODE, "--list", capture]).stdout.splitlines()[1:]
        self.assertEqual([l.split()[2:] for l in listed], [["100", "1..398", "99"]] * len(BOARDS))


class OddSsids(ScratchCase):
    def test_ssids_with_csv_syntax_are_quoted_and_short_ones_kept(self):
        # Six raw bytes on the wire: a comma or a quote must not break the CSV.
        capture = self.path("odd.cap")
        proc = run([CORVEL_SIM, "--capture", capture, "--packets", 3, "--board", 'a,"b:MES_2', "--board", "x:IMP_3"])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        proc = run([PALVEX_DECODE, capture])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertTrue(proc.stdout.splitlines()[1].startswith('"a,""b",'))
        header, rows = read_csv(proc.stdout, text=True)
        self.assertEqual([r[0] for r in rows], ['a,"b'] * 6 + ["x"] * 6)
        self.assertEqual({len(r) for r in rows}, {len(header)})
        self.assertIn('palvex-decode: board a,"b (MES_2): 6 rows', proc.stderr)


class Progress(ScratchCase):
    def test_progress_only_when_stderr_is_a_terminal(self):
        capture = self.path("p.cap")
        make_capture(capture, BOARDS, packets=50)
        piped = run([PALVEX_DECODE, capture, "-o", os.devnull])
        self.assertNotIn("\r", piped.stderr)

        master, slave = pty.openpty()
        try:
            proc = subprocess.run([PALVEX_DECODE, capture, "-o", os.devnull], stderr=slave,
                                  stdout=subprocess.DEVNULL, timeout=30)
            os.close(slave)
            slave = None
            seen = b""
            while True:
                try:
                    part = os.read(master, 65536)
                except OSError:
                    break
                if not part:
                    break
                seen += part
        finally:
            if slave is not None:
                os.close(slave)
            os.close(master)
        self.assertEqual(proc.returncode, 0)
        self.assertIn(b"\r\x1b[K", seen)
        self.assertIn(b"\r\x1b[Kpalvex-decode: board 1/5 (A1): ", seen)
        self.assertIn(b"palvex-decode: board A1 (MES_4): 100 rows", seen)


class Errors(ScratchCase):
    def setUp(self):
        super().setUp()
        self.capture = self.path("c.cap")
        make_capture(self.capture, BOARDS, packets=200)

    def test_unreadable_capture(self):
        for name, path in [("missing", self.path("nothing.cap")), ("directory", self.dir)]:
            with self.subTest(name):
                proc = run([PALVEX_DECODE, path])
                self.assert_one_line_error(proc, r"^palvex-decode: cannot read capture ")
                self.assertEqual(proc.stdout, "")
                self.assertEqual(len(proc.stderr.splitlines()), 1)

    def test_bad_descriptors(self):
        cases = [
            ("not JSON", '{"num_rows": 32,', r"bad descriptor .*: not JSON"),
            ("not an object", "[1, 2]", r"bad descriptor .*: not a JSON object"),
            ("no num_rows", '{"package_num_channel": 26}', r'"num_rows" is missing'),
            ("short row", '{"num_rows": 12, "package_num_channel": 3}', r'"num_rows" must be a whole number'),
            ("no packet number", '{"num_rows": 32}', r'"package_num_channel" is missing'),
            ("column outside", '{"num_rows": 32, "package_num_channel": 26, "exg_channels": [0, 40]}',
             r'"exg_channels" column 40 is outside the 32-column row'),
            ("filler outside", '{"num_rows": 32, "package_num_channel": 26, "filler_channel": 32}',
             r'"filler_channel" column 32 is outside the 32-column row'),
            ("filler on the packet number", '{"num_rows": 32, "package_num_channel": 26, "filler_channel": 26}',
             r'"filler_channel" column 26 is the packet number column'),
            ("text column", '{"num_rows": 32, "package_num_channel": "26"}', r'"package_num_channel" must hold whole'),
        ]
        for name, text, pattern in cases:
            with self.subTest(name):
                with open(self.path("d.json"), "w") as f:
                    f.write(text)
                proc = run([PALVEX_DECODE, "--descriptor", self.path("d.json"), self.capture])
                self.assert_one_line_error(proc, r"^palvex-decode: " + ".*" + pattern)
                self.assertEqual(proc.stdout, "")
        proc = run([PALVEX_DECODE, "--descriptor", self.path("none.json"), self.capture])
        self.assert_one_line_error(proc, r"^palvex-decode: cannot read descriptor .*none\.json")

    def test_descriptor_the_library_refuses_for_some_families(self):
        # Enough for IMP_3 boards only: the others' buffers are refused with
        # code 6, each costing itself; the IMP_3 board decodes.
        with open(self.path("imp.json"), "w") as f:
            json.dump({"num_rows": 32, "package_num_channel": 26, "battery_channel": 27,
                       "resistance_channels": list(range(14, 24)), "other_channels": [28, 30]}, f)
        proc = run([PALVEX_DECODE, "--descriptor", self.path("imp.json"), self.capture])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        header, rows = read_csv(proc.stdout, text=True)
        self.assertEqual({r[0] for r in rows}, {"C3"})
        got = summary(proc.stderr)
        self.assertEqual(got["C3"]["rows"], 398)
        for ssid, family in BOARDS.items():
            if family != "IMP_3":
                self.assertRegex(proc.stderr, rf"board {ssid} \({family}\): 0 rows.*, 198 {family} buffers not "
                                              rf"decoded: the descriptor does not serve {family}")

    def test_command_line_errors(self):
        cases = [
            ("nothing to decode", []),
            ("unknown option", ["--frobnicate", self.capture]),
            ("two captures", [self.capture, self.capture]),
            ("capture and hub", [self.capture, "--hub", "::1"]),
            ("record without hub", ["--record", self.path("r.cap"), self.capture]),
            ("trigger without hub", ["--trigger", self.capture]),
            ("trigger while recording", ["--hub", "::1", "--record", self.path("r.cap"), "--trigger"]),
            ("duration without hub", ["--duration", "2", self.capture]),
            ("bad duration", ["--hub", "::1", "--duration", "soon"]),
            ("missing value", ["--output"]),
            ("a value for a flag", ["--verbose=yes", self.capture]),
            # Samples per second and packets per second have different names.
            ("--rate", [self.capture, "--bdf", self.path("x.bdf"), "--rate", "125"]),
            ("IPv4 hub", ["--hub", "127.0.0.1"]),
            ("hub by name", ["--hub", "localhost"]),
            ("start time without --bdf", [self.capture, "--start-time", "2024-05-01T10:00:00"]),
            ("start time live", ["--hub", "::1", "--bdf", self.path("x.bdf"), "--sample-rate", "250",
                                 "--start-time", "2024-05-01T10:00:00"]),
            ("start time of no date", [self.capture, "--bdf", self.path("x.bdf"), "--sample-rate", "250",
                                       "--start-time", "2024-02-30T10:00:00"]),
            ("list with a CSV", ["--list", self.capture, "-o", self.path("x.csv")]),
        ]
        for name, args in cases:
            with self.subTest(name):
                proc = run([PALVEX_DECODE] + args)
                self.assert_one_line_error(proc, r"^palvex-decode: .*\(see palvex-decode --help\)$", status=2)
                self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
                self.assertEqual(proc.stdout, "")
        self.assertEqual(sorted(os.listdir(self.dir)), ["c.cap"])
        proc = run([PALVEX_DECODE, "--rate", "125", self.capture])
        self.assertIn("--sample-rate takes samples per second", proc.stderr)
        proc = run([PALVEX_DECODE, "--hub", "127.0.0.1"])
        self.assertIn("numeric IPv6 address", proc.stderr)

    def test_options_take_joined_values(self):
        proc = run([PALVEX_DECODE, self.capture, "--output=" + self.path("joined.csv"), "--sample-rate=250"])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(read_csv(self.path("joined.csv"))[0][:2], ["ssid", "time_s"])

    def test_help_version_and_default_descriptor(self):
        proc = run([PALVEX_DECODE, "--help"])
        self.assertEqual(proc.returncode, 0)
        for option in ["--descriptor", "-o, --output", "--hub", "--record", "--duration", "--trigger", "--board",
                       "--sample-rate", "--bdf", "--start-time", "--list", "--version", "IPv6"]:
            self.assertIn(option, proc.stdout)
        # The help lists the columns in the order the CSV has them.
        listed = proc.stdout.split("they are\n", 1)[1].split("\ntime_s", 1)[0]
        names = []
        for part in " ".join(listed.split()).split(", "):
            if ".." in part:
                a, b = part.split("..")
                stem = a[:a.rindex("_") + 1]
                names += [f"{stem}{i}" for i in range(int(a[len(stem):]), int(b[len(stem):]) + 1)]
            else:
                names.append(part)
        header = read_csv(run([PALVEX_DECODE, self.capture, "--sample-rate", 250]).stdout, text=True)[0]
        self.assertEqual(names, header)
        proc = run([PALVEX_DECODE, "--version"])
        self.assertEqual(proc.returncode, 0)
        self.assertRegex(proc.stdout, r"^palvex-decode \(PalvexWrapper\) \d+\.\d+\.\d+\n$")
        proc = run([PALVEX_DECODE, "--show-descriptor"])
        self.assertEqual(proc.returncode, 0)
        d = json.loads(proc.stdout)
        self.assertEqual((d["num_rows"], d["package_num_channel"], d["filler_channel"]), (33, 26, 32))


if __name__ == "__main__":
    unittest.main()
