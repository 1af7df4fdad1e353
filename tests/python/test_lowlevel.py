"""The plain binding, palvex.lowlevel, on captures and live streams of
corvel-sim. Hub opens [::1]:5005; the library keeps the first hub data
callback for the process, so CTest runs each class alone."""
import json
import re
import time
import unittest
import warnings

import palvex
from palvex import lowlevel
from tooltest import (CORVEL_SIM, PALVEX_DECODE, PALVEX_HEADER, ScratchCase, Simulator, chunk, read_csv,
                      rows_by_board, run)

LIB = None


def library():
    global LIB
    if LIB is None:
        LIB = lowlevel.Library()
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
        self.lib.set_board_json(lowlevel.DEFAULT_DESCRIPTOR)
        self.lib.release()

    def test_constants_match_the_header(self):
        with open(PALVEX_HEADER) as f:
            header = f.read()
        codes = {m.group(1): int(m.group(2)) for m in re.finditer(r"PALVEX_(OK|ERR_\w+) = (\d+)", header)}
        self.assertEqual({n.replace("ERR_", "", 1): v for n, v in codes.items()},
                         {r.name: r.value for r in lowlevel.Result})
        states = {m.group(1): int(m.group(2)) for m in re.finditer(r"PALVEX_HUB_(\w+) = (\d+)", header)}
        self.assertEqual(states, {s.name: s.value for s in lowlevel.HubState})
        families = dict(re.findall(r"^\s+(WUA2|MES_\d|IMP_\d) = (\d)", header, re.M))
        self.assertEqual({k: int(v) for k, v in families.items()}, {c.name: c.value for c in lowlevel.CommType})
        self.assertIn(f"#define PALVEX_MAX_ROW_LENGTH {lowlevel.MAX_ROW_LENGTH}\n", header)
        self.assertIn(f"#define PALVEX_MAX_FILLED_ROWS {lowlevel.MAX_FILLED_ROWS}\n", header)

    def test_default_descriptor_is_palvex_decodes(self):
        shown = run([PALVEX_DECODE, "--show-descriptor"]).stdout
        self.assertEqual(json.loads(lowlevel.DEFAULT_DESCRIPTOR), json.loads(shown))
        capture = self.path("one.cap")
        run([CORVEL_SIM, "--capture", capture, "--packets", 1])
        header, _ = read_csv(run([PALVEX_DECODE, capture]).stdout, text=True)
        columns = lowlevel.default_columns()
        self.assertEqual(header[1:1 + len(columns)], columns)

    def test_decodes_a_capture_row_for_row_like_palvex_decode(self):
        capture = self.path("c.cap")
        proc = run([CORVEL_SIM, "--capture", capture, "--packets", 150, "--lose-every", 40,
                    "--board", "A1:MES_5", "--board", "B2:WUA2", "--board", "C3:IMP_3"])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        header, rows = read_csv(run([PALVEX_DECODE, capture]).stdout, text=True)
        width = len(lowlevel.default_columns())
        expected = {s: [[float(v) for v in r[1:1 + width]] for r in rs] for s, rs in rows_by_board(header, rows).items()}
        got = {}
        for ssid in expected:
            board_rows = []
            ctx = self.lib.context(on_row=board_rows.append, name=ssid)
            self.lib.release()
            for s, payload, _ in lowlevel.read_capture(capture):
                if s == ssid:
                    self.assertEqual(self.lib.interpret(payload, ctx), lowlevel.Result.OK)
            got[ssid] = board_rows
        self.assertEqual(got, expected)

    def test_non_zero_results_raise_with_their_code(self):
        ctx = self.lib.context(on_row=lambda row: None)
        cases = [
            ("wrong size", mes4(1)[:70], ctx, lowlevel.Result.PACKET_SIZE),
            ("unknown type", b"\x09\x00" + bytes(75), ctx, lowlevel.Result.UNKNOWN_TYPE),
            ("too short", b"\x04", ctx, lowlevel.Result.UNKNOWN_TYPE),
            ("no context", mes4(1), None, lowlevel.Result.NO_CONTEXT),
        ]
        for name, buffer, context, code in cases:
            with self.subTest(name):
                self.lib.release()
                with self.assertRaises(lowlevel.PalvexError) as caught:
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
        self.assertTrue(all(len(r) == len(lowlevel.default_columns()) and r[29] == 1.0 for r in rows))

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
        self.assertEqual(self.lib.data_write(b"\x01\x02", ctx), lowlevel.Result.OK)
        self.assertEqual(got, [b"\x01\x02\x00\x00\x00"])

    def test_read_capture_reads_past_damage_and_warns_of_it(self):
        # A chunk, a header of corrupted length followed by junk, a chunk, and
        # a chunk cut off by the end.
        path = self.path("t.cap")
        with open(path, "wb") as f:
            f.write(chunk("A1", mes4(1)) + chunk("", b"", length=-1) + bytes(range(7)) + chunk("B2", mes4(1))
                    + chunk("B2", mes4(3))[:-3])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = [(ssid, offset) for ssid, _, offset in lowlevel.read_capture(path)]
        self.assertEqual(got, [("A1", 0), ("B2", 104)])
        self.assertEqual([str(w.message) for w in caught], [
            f"capture {path}: skipped 17 bytes at byte 87, where no chunk boundary was found",
            f"truncated capture {path}: the chunk at byte 191 is cut off by the end (84 bytes of it present); "
            "the chunks before it are decoded"])
        self.assertTrue(all(w.category is palvex.CaptureWarning for w in caught))
        with self.assertRaisesRegex(OSError, "cannot read capture"):
            next(lowlevel.read_capture(self.path("missing.cap")))

    def test_a_missing_library_is_named(self):
        with self.assertRaisesRegex(OSError, r"cannot load /nowhere/libPalvexWrapper\.so"):
            lowlevel.Library("/nowhere/libPalvexWrapper.so")


class Hub(ScratchCase):
    """Needs [::1]:5005; one process per run (the library keeps the first hub data callback)."""

    def test_hub_mode_through_the_binding(self):
        lib = library()
        lib.set_board_json(lowlevel.DEFAULT_DESCRIPTOR)
        with Simulator(["--board", "A1:MES_4", "--board", "B2:WUA2", "--duration", 20], self.dir) as sim:
            a_rows, all_rows = [], []
            ctx_a = lib.context(on_row=a_rows.append, name="A1")
            ctx_all = lib.context(on_row=all_rows.append, name="all")
            self.assertEqual(lib.set_board(ctx_a, "A1"), lowlevel.Result.OK)
            with self.assertRaises(lowlevel.PalvexError) as caught:
                lib.set_board(ctx_a, "A1")
            self.assertEqual(caught.exception.code, lowlevel.Result.DUPLICATE)
            self.assertEqual(lib.set_board(ctx_all, ""), lowlevel.Result.OK)
            self.assertEqual(lib.open_connection("::1"), lowlevel.Result.OK)
            self.assertEqual(lib.connection_state(), (lowlevel.HubState.CONNECTED, 0))
            reader = lib.start_reading()
            deadline = time.monotonic() + 10
            while (lib.ssids() != ["A1", "B2"] or len(a_rows) < 100) and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertEqual(lib.ssids(), ["A1", "B2"])
            self.assertEqual([lib.ssid_by_index(i) for i in (1, 2, 3, 0)], ["A1", "B2", None, None])

            self.assertEqual(lib.write_data(b"\x01", ctx_a), lowlevel.Result.OK)
            with self.assertRaises(lowlevel.PalvexError) as caught:
                lib.write_data(b"\x01", lib.context())
            self.assertEqual(caught.exception.code, lowlevel.Result.NOT_REGISTERED)
            deadline = time.monotonic() + 5
            while "write frame 1" not in sim.stdout() and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertEqual(lib.hub_release(), lowlevel.Result.OK)
            self.assertFalse(reader.is_alive())
            self.assertEqual(lib.connection_state(), (lowlevel.HubState.RELEASED, 0))
            self.assertEqual(sim.stop(), 0)
            self.assertEqual(sim.stdout(), "write frame 1 (20 bytes): trigger 1, 1 board(s); A1: 01 00 00 00 00\n")
        self.assertEqual(ctx_a.errors + ctx_all.errors, [])
        # A1's rows: its own format, numbers rising; the all-boards context sees both boards.
        self.assertEqual({r[30] for r in a_rows}, {4.0})
        numbers = [r[26] for r in a_rows]
        self.assertEqual(numbers, sorted(numbers))
        self.assertEqual({r[30] for r in all_rows}, {4.0, 1.0})


if __name__ == "__main__":
    unittest.main()
