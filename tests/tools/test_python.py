"""The Python binding (python/palvex.py) and its examples, on captures and
live streams of corvel-sim. Hub and ExampleLive open [::1]:5005; the hub
connection opens once per process, so CTest runs each class alone."""
import json
import os
import re
import sys
import time
import unittest

from tooltest import (CORVEL_SIM, PALVEX_DECODE, PALVEX_HEADER, PALVEX_LIBRARY, PYTHON_DIR, ScratchCase, Simulator,
                      chunk, read_csv, rows_by_board, run)

sys.path.insert(0, PYTHON_DIR)
import palvex  # noqa: E402

LIB = None


def library():
    global LIB
    if LIB is None:
        LIB = palvex.Library(PALVEX_LIBRARY)
    return LIB


def mes4(first_number):
    """A MES_4 buffer with packet numbers first_number, first_number + 1."""
    b = bytearray(77)
    b[0] = 4
    b[2 + 67:2 + 71] = first_number.to_bytes(4, "little")
    b[2 + 71:2 + 75] = (first_number + 1).to_bytes(4, "little")
    return bytes(b)


class Binding(ScratchCase):
    def setUp(self):
        super().setUp()
        self.lib = library()
        self.lib.set_board_json(palvex.DEFAULT_DESCRIPTOR)
        self.lib.release()

    def test_constants_match_the_header(self):
        with open(PALVEX_HEADER) as f:
            header = f.read()
        codes = {m.group(1): int(m.group(2)) for m in re.finditer(r"PALVEX_(OK|ERR_\w+) = (\d+)", header)}
        self.assertEqual({n.replace("ERR_", "", 1): v for n, v in codes.items()},
                         {r.name: r.value for r in palvex.Result})
        families = dict(re.findall(r"^\s+(WUA2|MES_\d|IMP_\d) = (\d)", header, re.M))
        self.assertEqual({k: int(v) for k, v in families.items()}, {c.name: c.value for c in palvex.CommType})
        self.assertIn(f"#define PALVEX_MAX_ROW_LENGTH {palvex.MAX_ROW_LENGTH}\n", header)
        self.assertIn(f"#define PALVEX_MAX_FILLED_ROWS {palvex.MAX_FILLED_ROWS}\n", header)

    def test_default_descriptor_is_palvex_decodes(self):
        shown = run([PALVEX_DECODE, "--show-descriptor"]).stdout
        self.assertEqual(json.loads(palvex.DEFAULT_DESCRIPTOR), json.loads(shown))
        capture = self.path("one.cap")
        run([CORVEL_SIM, "--capture", capture, "--packets", 1])
        header, _ = read_csv(run([PALVEX_DECODE, capture]).stdout, text=True)
        self.assertEqual(header[1:-1], palvex.default_columns())

    def test_decodes_a_capture_row_for_row_like_palvex_decode(self):
        capture = self.path("c.cap")
        proc = run([CORVEL_SIM, "--capture", capture, "--packets", 150, "--drop-every", 40,
                    "--board", "A1:MES_5", "--board", "B2:WUA2", "--board", "C3:IMP_3"])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        header, rows = read_csv(run([PALVEX_DECODE, capture]).stdout, text=True)
        expected = {s: [[float(v) for v in r[1:-1]] for r in rs] for s, rs in rows_by_board(header, rows).items()}
        got = {}
        for ssid in expected:
            board_rows = []
            ctx = self.lib.context(on_row=board_rows.append, name=ssid)
            self.lib.release()
            for s, payload, _ in palvex.read_capture(capture):
                if s == ssid:
                    self.assertEqual(self.lib.interpret(payload, ctx), palvex.Result.OK)
            got[ssid] = board_rows
        self.assertEqual(got, expected)

    def test_non_zero_results_raise_with_their_code(self):
        ctx = self.lib.context(on_row=lambda row: None)
        cases = [
            ("wrong size", mes4(1)[:70], ctx, palvex.Result.PACKET_SIZE),
            ("unknown type", b"\x09\x00" + bytes(75), ctx, palvex.Result.UNKNOWN_TYPE),
            ("too short", b"\x04", ctx, palvex.Result.UNKNOWN_TYPE),
            ("no context", mes4(1), None, palvex.Result.NO_CONTEXT),
        ]
        for name, buffer, context, code in cases:
            with self.subTest(name):
                self.lib.release()
                with self.assertRaises(palvex.PalvexError) as caught:
                    self.lib.interpret(buffer, context)
                self.assertEqual(caught.exception.code, code)
                self.assertEqual(caught.exception.function, "interpret_data_fn")
                self.assertIn(code.name, str(caught.exception))
                self.lib.release()
                self.assertEqual(self.lib.interpret(buffer, context, check=False), code)

    def test_rows_are_copies_and_handler_errors_come_back(self):
        rows = []
        ctx = self.lib.context(on_row=rows.append)
        self.lib.interpret(mes4(11), ctx)
        self.lib.interpret(mes4(13), ctx)
        self.assertEqual([r[26] for r in rows], [11.0, 12.0, 13.0, 14.0])
        self.assertTrue(all(len(r) == 32 and r[29] == 1.0 for r in rows))

        def broken(row):
            raise KeyError("from the handler")

        self.lib.release()
        bad = self.lib.context(on_row=broken)
        with self.assertRaises(KeyError):
            self.lib.interpret(mes4(21), bad)
        self.assertEqual(len(bad.errors), 2)  # one per row; the library was not unwound
        self.lib.release()
        self.lib.interpret(mes4(31), ctx)  # and the binding works on
        self.assertEqual(rows[-1][26], 32.0)

    def test_data_write_hands_out_the_instruction(self):
        got = []
        ctx = self.lib.context(on_write=got.append)
        self.assertEqual(self.lib.data_write(b"\x01\x02", ctx), palvex.Result.OK)
        self.assertEqual(got, [b"\x01\x02\x00\x00\x00"])

    def test_read_capture_stops_at_a_truncated_chunk(self):
        path = self.path("t.cap")
        with open(path, "wb") as f:
            f.write(chunk("A1", mes4(1)) + chunk("", b"", length=-1) + chunk("B2", mes4(1))[:-3])
        got = []
        with self.assertRaisesRegex(ValueError, r"chunk at byte 97 needs 77 payload bytes, only 74 present"):
            for item in palvex.read_capture(path):
                got.append(item[:1] + item[2:])
        self.assertEqual(got, [("A1", 0)])

    def test_a_missing_library_is_named(self):
        with self.assertRaisesRegex(OSError, r"cannot load /nowhere/libPalvexWrapper\.so"):
            palvex.Library("/nowhere/libPalvexWrapper.so")


class Hub(ScratchCase):
    """Needs [::1]:5005; one process per run (the hub opens once per process)."""

    def test_hub_mode_through_the_binding(self):
        lib = library()
        lib.set_board_json(palvex.DEFAULT_DESCRIPTOR)
        with Simulator(["--board", "A1:MES_4", "--board", "B2:WUA2", "--duration", 20], self.dir) as sim:
            a_rows, all_rows = [], []
            ctx_a = lib.context(on_row=a_rows.append, name="A1")
            ctx_all = lib.context(on_row=all_rows.append, name="all")
            self.assertEqual(lib.set_board(ctx_a, "A1"), palvex.Result.OK)
            with self.assertRaises(palvex.PalvexError) as caught:
                lib.set_board(ctx_a, "A1")
            self.assertEqual(caught.exception.code, palvex.Result.DUPLICATE)
            self.assertEqual(lib.set_board(ctx_all, ""), palvex.Result.OK)
            self.assertEqual(lib.open_connection("::1"), palvex.Result.OK)
            reader = lib.start_reading()
            deadline = time.monotonic() + 10
            while (lib.ssids() != ["A1", "B2"] or len(a_rows) < 100) and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertEqual(lib.ssids(), ["A1", "B2"])
            self.assertEqual([lib.ssid_by_index(i) for i in (1, 2, 3, 0)], ["A1", "B2", None, None])

            self.assertEqual(lib.write_data(b"\x01", ctx_a), palvex.Result.OK)
            with self.assertRaises(palvex.PalvexError) as caught:
                lib.write_data(b"\x01", lib.context())
            self.assertEqual(caught.exception.code, palvex.Result.NOT_REGISTERED)
            deadline = time.monotonic() + 5
            while "write frame 1" not in sim.stdout() and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertEqual(lib.hub_release(), palvex.Result.OK)
            self.assertFalse(reader.is_alive())
            self.assertEqual(sim.stop(), 0)
            self.assertEqual(sim.stdout(), "write frame 1 (20 bytes): trigger 1, 1 board(s); A1: 01 00 00 00 00\n")
        self.assertEqual(ctx_a.errors + ctx_all.errors, [])
        # A1's rows: its own format, numbers rising; the all-boards context sees both boards.
        self.assertEqual({r[30] for r in a_rows}, {4.0})
        numbers = [r[26] for r in a_rows]
        self.assertEqual(numbers, sorted(numbers))
        self.assertEqual({r[30] for r in all_rows}, {4.0, 1.0})


class ExampleCapture(ScratchCase):
    def test_decode_capture_example(self):
        capture = self.path("c.cap")
        run([CORVEL_SIM, "--capture", capture, "--packets", 100, "--board", "A1:MES_4", "--board", "C3:IMP_3"])
        proc = run([sys.executable, os.path.join(PYTHON_DIR, "examples", "decode_capture.py"), capture,
                    "--library", PALVEX_LIBRARY])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        lines = proc.stdout.splitlines()
        self.assertEqual(lines[0], "board A1: 200 rows, packet numbers 1..200, 0 buffers refused")
        self.assertRegex(lines[1], r"^  first row: exg_0=.*accel_z=0\.99.*package_num=1, battery=98, valid=1, "
                                   r"format_code=4")
        self.assertEqual(lines[2], "board C3: 200 rows, packet numbers 1..200, 0 buffers refused")
        with open(self.path("cut.cap"), "wb") as f:
            with open(capture, "rb") as g:
                f.write(g.read()[:-5])
        proc = run([sys.executable, os.path.join(PYTHON_DIR, "examples", "decode_capture.py"), self.path("cut.cap"),
                    "--library", PALVEX_LIBRARY])
        self.assert_one_line_error(proc, r"^decode_capture: truncated capture")


class ExampleLive(ScratchCase):
    """Needs [::1]:5005."""

    def test_live_sim_example(self):
        with Simulator(["--board", "A1:MES_4", "--board", "B2:IMP_3", "--duration", 20], self.dir) as sim:
            proc = run([sys.executable, os.path.join(PYTHON_DIR, "examples", "live_sim.py"), "--seconds", 2,
                        "--library", PALVEX_LIBRARY], timeout=60)
            time.sleep(0.1)
            self.assertEqual(sim.stop(), 0)
            self.assertIn("trigger 1, 1 board(s); A1: 01 00 00 00 00", sim.stdout())
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertRegex(proc.stdout, r"board 1 A1 \(MES_4 or MES_5\): \d{3} rows, packet numbers [1-5]\.\.\d+\n"
                                      r"board 2 B2 \(IMP_3\): \d{3} rows")
        self.assertIn("trigger command 01 sent to A1", proc.stdout)


if __name__ == "__main__":
    unittest.main()
