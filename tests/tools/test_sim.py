"""corvel-sim on its own and against palvex-decode.

SimCommandLine needs no network. The other classes open [::1]:5005 and run
under CTest's RESOURCE_LOCK palvex_hub_port; every process is bounded and
stopped by its pid."""
import os
import re
import signal
import struct
import subprocess
import time
import unittest

from tooltest import (CORVEL_SIM, PALVEX_DECODE, ScratchCase, Simulator, chunks, read_csv, rows_by_board, run,
                      summary)

THREE = ["--board", "A1:MES_4", "--board", "B2:WUA2", "--board", "C3:IMP_3"]
SIM_SUMMARY = re.compile(r"corvel-sim: board (\S+) \((\S+)\): (\d+) packets made, (\d+) lost")


def sim_summary(stderr):
    return {m.group(1): (m.group(2), int(m.group(3)), int(m.group(4))) for m in SIM_SUMMARY.finditer(stderr)}


class SimCommandLine(ScratchCase):
    def test_help(self):
        proc = run([CORVEL_SIM, "--help"])
        self.assertEqual(proc.returncode, 0)
        for option in ["--address", "--port", "--board", "--packet-rate", "--sample-rate", "--loss", "--lose-every",
                       "--duration", "--packets", "--capture", "--seed", "--drop-every", "--version", "IPv6"]:
            self.assertIn(option, proc.stdout)
        proc = run([CORVEL_SIM, "--version"])
        self.assertEqual(proc.returncode, 0)
        self.assertRegex(proc.stdout, r"^corvel-sim \(PalvexWrapper\) \d+\.\d+\.\d+\n$")

    def test_help_states_the_rate_limits_it_keeps(self):
        text = run([CORVEL_SIM, "--help"]).stdout
        for option, low, high in (("--packet-rate", 1, 10000), ("--sample-rate", 2, 20000)):
            with self.subTest(option):
                stated = re.search(rf"^  {option} N +[^\n]*?(\d+) to (\d+)", text, re.M)
                self.assertIsNotNone(stated, text)
                self.assertEqual((int(stated[1]), int(stated[2])), (low, high))
                for value, status in ((low - 1, 2), (low, 0), (high, 0), (high + 1, 2)):
                    proc = run([CORVEL_SIM, "--capture", self.path("r.cap"), "--packets", 1, option, value])
                    self.assertEqual(proc.returncode, status, f"{option} {value}: {proc.stderr}")

    def test_bad_command_lines(self):
        cases = [
            ("unknown family", ["--board", "A1:MES_9"]),
            ("no family", ["--board", "A1"]),
            ("SSID too long", ["--board", "ABCDEFG:MES_4"]),
            ("empty SSID", ["--board", ":MES_4"]),
            ("SSID twice", ["--board", "A1:MES_4", "--board", "A1:WUA2"]),
            ("no such board option", ["--board", "A1:MES_4:flat"]),
            ("packet rate zero", ["--packet-rate", "0"]),
            ("sample rate one", ["--sample-rate", "1"]),
            # Packets or samples per second: --rate would not say which.
            ("--rate", ["--rate", "125"]),
            ("loss above 1", ["--loss", "1.5"]),
            ("lose every 1", ["--lose-every", "1"]),
            ("a value for a flag", ["--jitter=yes"]),
            ("port text", ["--port", "hub"]),
            ("capture without packets", ["--capture", self.path("x.cap")]),
            ("drop every 0 s", ["--drop-every", "0"]),
            ("drop with an outage that is no number", ["--drop-every", "2:long"]),
            ("drop with a negative outage", ["--drop-every", "2:-1"]),
            ("drops in a capture", ["--capture", self.path("x.cap"), "--packets", "1", "--drop-every", "1"]),
            ("unknown option", ["--fast"]),
            ("missing value", ["--packet-rate"]),
        ]
        for name, args in cases:
            with self.subTest(name):
                proc = run([CORVEL_SIM] + args)
                self.assert_one_line_error(proc, r"^corvel-sim: .*\(see corvel-sim --help\)$", status=2)

    def test_capture_holds_every_packet_not_lost(self):
        path = self.path("loss.cap")
        proc = run([CORVEL_SIM, "--capture", path, "--packets", 300, "--loss", 0.1, "--seed", 7,
                    "--board", "A1:MES_5", "--board", "Z:IMP_3"])
        self.assertEqual(proc.returncode, 0, proc.stderr)
        made = sim_summary(proc.stderr)
        self.assertEqual(set(made), {"A1", "Z"})
        got = chunks(path)
        for ssid, family, length in [("A1", "MES_5", 81), ("Z", "IMP_3", 91)]:
            with self.subTest(board=ssid):
                mine = [c for c in got if c[0] == ssid]
                self.assertEqual(made[ssid][:2], (family, 300))
                self.assertTrue(10 < made[ssid][2] < 60, made[ssid])  # about 30 of 300
                self.assertEqual(len(mine), 300 - made[ssid][2])
                self.assertEqual({c[1] for c in mine}, {length})
                # Packet numbers rise by two per packet, with holes where packets were lost.
                offset = 2 + (71 if family == "MES_5" else 81)
                numbers = [struct.unpack_from("<I", c[2], offset)[0] for c in mine]
                self.assertEqual(numbers, sorted(numbers))
                self.assertTrue(all(n % 2 == 1 for n in numbers))
                self.assertLessEqual(numbers[-1], 599)
        # The same seed makes the same capture; another seed loses other packets.
        run([CORVEL_SIM, "--capture", self.path("same.cap"), "--packets", 300, "--loss", 0.1, "--seed", 7,
             "--board", "A1:MES_5", "--board", "Z:IMP_3"])
        run([CORVEL_SIM, "--capture", self.path("other.cap"), "--packets", 300, "--loss", 0.1, "--seed", 8,
             "--board", "A1:MES_5", "--board", "Z:IMP_3"])
        data = []
        for name in ("loss.cap", "same.cap", "other.cap"):
            with open(self.path(name), "rb") as f:
                data.append(f.read())
        self.assertEqual(data[0], data[1])
        self.assertNotEqual(data[0], data[2])

    def test_rates_and_joined_values(self):
        # Two samples a packet: --sample-rate 500 is --packet-rate 250, and
        # a capture's bytes do not depend on how it was said.
        captures = []
        for args in (["--packet-rate", "250"], ["--sample-rate=500"], ["--packet-rate=250"], []):
            proc = run([CORVEL_SIM, "--capture", self.path("r.cap"), "--packets", 20, "--board", "A1:MES_2"] + args)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            with open(self.path("r.cap"), "rb") as f:
                captures.append(f.read())
        self.assertEqual(captures[1:3], captures[:1] * 2)
        self.assertNotEqual(captures[3], captures[0])  # the default 125 packets a second: other signal values

    def test_unwritable_capture(self):
        proc = run([CORVEL_SIM, "--capture", self.path("no/such/dir.cap"), "--packets", 1])
        self.assert_one_line_error(proc, r"^corvel-sim: cannot write .*dir\.cap")


class SimLive(ScratchCase):
    """Needs [::1]:5005."""

    def test_four_boards_live_with_a_trigger(self):
        with Simulator(THREE + ["--board", "D4:MES_5", "--lose-every", 60, "--duration", 15], self.dir) as sim:
            proc = run([PALVEX_DECODE, "--hub", "::1", "--duration", 2.5, "--trigger", "-o", self.path("live.csv")],
                       timeout=30)
            time.sleep(0.1)
            self.assertEqual(sim.stop(), 0)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            # The simulator saw the one frame: trigger byte 1 (MES_4 takes 01 as a trigger), board A1.
            self.assertEqual(sim.stdout(), "write frame 1 (20 bytes): trigger 1, 1 board(s); A1: 01 00 00 00 00\n")
            self.assertIn("corvel-sim: SIGTERM, stopping", sim.stderr())
            self.assertIn("corvel-sim: 1 write frame(s) received", sim.stderr())
        self.assertIn("trigger command 01 sent to board A1 (result 0)", proc.stderr)
        header, rows = read_csv(self.path("live.csv"))
        boards = rows_by_board(header, rows)
        self.assertEqual(set(boards), {"A1", "B2", "C3", "D4"})
        got = summary(proc.stderr)
        pn = header.index("package_num")
        fi = header.index("filler")
        # MES_4 and MES_5 rows share a format code; the raw PPG column tells them apart.
        for ssid, family in [("A1", "MES_4"), ("B2", "WUA2"), ("C3", "IMP_3"), ("D4", "MES_5")]:
            with self.subTest(board=ssid):
                numbers = [int(r[pn]) for r in boards[ssid]]
                s = got[ssid]
                self.assertEqual(s["family"], family)
                self.assertEqual(s["rows"], len(numbers))
                self.assertEqual(s["fillers"], sum(r[fi] == "1" for r in boards[ssid]))
                # 2.5 s at 250 rows/s, less the start. Where a board's rows begin depends on
                # how soon the loop ran and saw it (the simulator streams from the greeting on,
                # and the loop's first receive is thrown away); from there on every number is there.
                self.assertGreater(len(numbers), 400)
                self.assertEqual(numbers, sorted(numbers))
                # Every 60th packet is lost: about one gap per 0.5 s, each with 2 filler
                # rows; every number from the first row's on is there once.
                self.assertGreaterEqual(s["lost"], 3)
                self.assertEqual(s["fillers"], 2 * s["lost"])
                self.assertEqual(numbers, list(range(numbers[0], numbers[-1] + 1)))

    def test_a_board_asked_for_that_never_shows_up_is_an_error_naming_those_seen(self):
        # Stopped by SIGTERM once both boards' rows are in the CSV, however
        # long the way there takes.
        csv_path = self.path("live.csv")
        with Simulator(["--board", "A1:MES_4", "--board", "B2:IMP_3", "--duration", 60], self.dir) as sim:
            proc = subprocess.Popen([PALVEX_DECODE, "--hub", "::1", "--duration", "50", "--board", "ZZ", "--board",
                                     "A1", "-o", csv_path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                    text=True)
            try:
                deadline = time.monotonic() + 40
                def boards_written():
                    if not os.path.exists(csv_path):
                        return set()
                    with open(csv_path) as f:
                        return {line.split(",", 1)[0] for line in f.readlines()[1:]}
                while not {"A1", "B2"} <= boards_written():
                    self.assertLess(time.monotonic(), deadline, "no rows of both boards")
                    self.assertIsNone(proc.poll())
                    time.sleep(0.1)
                proc.send_signal(signal.SIGTERM)
                _, err = proc.communicate(timeout=30)
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            sim.stop()
        self.assertEqual(proc.returncode, 1, err)
        self.assertRegex(err.splitlines()[-1], r"^palvex-decode: --board ZZ: no such board showed up \(boards seen: "
                                               r"A1, B2\)$")
        self.assertEqual(set(rows_by_board(*read_csv(csv_path))), {"A1", "B2"}, "the rows are kept")
        self.assertNotIn("ZZ", summary(err))

    def test_packet_bound_streams_exactly_that_many(self):
        # The simulator streams from the greeting on, so the library's read
        # loop joins a stream that is already flowing: boards registered
        # before reading lose at most what its first, thrown-away receive
        # held, and get every packet after that, to the last.
        with Simulator(THREE + ["--packets", 100, "--packet-rate", 200, "--duration", 20, "--jitter"], self.dir) as sim:
            proc = run([PALVEX_DECODE, "--hub", "::1", "--duration", 2, "--board", "A1", "--board", "B2",
                        "--board", "C3"], timeout=30)
            self.assertEqual(sim.wait(10), 0)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        got = summary(proc.stderr)
        total = 0
        for ssid in ["A1", "B2", "C3"]:
            with self.subTest(board=ssid):
                s = got[ssid]
                self.assertEqual(s["last"], 200)
                self.assertLessEqual(s["first"], 11)
                self.assertEqual(s["rows"], s["last"] - s["first"] + 1)
                self.assertEqual(s["fillers"], 0)
                total += s["rows"]
        self.assertEqual(len(read_csv(proc.stdout, text=True)[1]), total)
        made = sim_summary(sim.stderr())
        self.assertEqual({s: m[1:] for s, m in made.items()}, {"A1": (100, 0), "B2": (100, 0), "C3": (100, 0)})

    def test_stops_cleanly_on_signals_and_at_its_duration(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                with Simulator(["--board", "A1:MES_2"], self.dir) as sim:
                    time.sleep(0.3)
                    started = time.monotonic()
                    self.assertEqual(sim.stop(sig), 0)
                    self.assertLess(time.monotonic() - started, 2)
                    self.assertIn(f"corvel-sim: {sig.name}, stopping", sim.stderr())
                    self.assertIn("corvel-sim: board A1 (MES_2): 0 packets made, 0 lost", sim.stderr())
        started = time.monotonic()
        with Simulator(["--duration", 1], self.dir) as sim:
            self.assertEqual(sim.wait(5), 0)
        self.assertLess(time.monotonic() - started, 3)

    def test_port_in_use(self):
        with Simulator([], self.dir) as first:
            proc = run([CORVEL_SIM, "--duration", 1])
            self.assert_one_line_error(proc, r"^corvel-sim: cannot listen on \[::1\]:5005: .*in use")
            self.assertEqual(first.stop(), 0)

    def test_bad_listen_address(self):
        proc = run([CORVEL_SIM, "--address", "no-such-address", "--duration", 1])
        self.assert_one_line_error(proc, r"^corvel-sim: cannot listen on \[no-such-address\]:5005: .*numeric IPv6")

    def test_no_hub(self):
        # One line with the reason; the library's five attempts stay quiet,
        # and no output file is left behind.
        for args in (["-o", self.path("live.csv")], ["--record", self.path("r.cap"), "-o", self.path("r.csv")]):
            with self.subTest(args=args):
                proc = run([PALVEX_DECODE, "--hub", "::1", "--wait", 0, "--duration", 1] + args, timeout=60)
                self.assert_one_line_error(proc, r"^palvex-decode: no connection to a hub at ::1 \(port 5005\) "
                                                 r"in \d+\.\d s: Connection refused$")
                self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
                self.assertEqual(proc.stdout, "")
                self.assertEqual(os.listdir(self.dir), [])
        proc = run([PALVEX_DECODE, "--hub", "::1", "--wait", 0, "--duration", 1, "--verbose"], timeout=60)
        self.assertGreater(len(proc.stderr.splitlines()), 5)  # the library's own lines

    def test_a_hub_whose_boards_give_no_row(self):
        # One packet, which the library's read loop throws away with its
        # first receive: nothing is decoded, which is an error, not an empty CSV.
        with Simulator(["--board", "A1:MES_4", "--packets", 1, "--duration", 10], self.dir):
            proc = run([PALVEX_DECODE, "--hub", "::1", "--duration", 1, "-o", self.path("none.csv")], timeout=30)
        self.assert_one_line_error(proc, r"^palvex-decode: no row decoded from the hub at ::1 in \d+\.\d s: ")
        self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
        self.assertFalse(os.path.exists(self.path("none.csv")))


class Record(ScratchCase):
    """Needs [::1]:5005."""

    def test_record_then_decode_the_recording(self):
        with Simulator(THREE + ["--board", "D4:MES_5", "--loss", 0.02, "--seed", 3, "--duration", 15],
                       self.dir) as sim:
            proc = run([PALVEX_DECODE, "--hub", "::1", "--record", self.path("rec.cap"), "--duration", 2,
                        "-o", self.path("rec.csv")], timeout=30)
            self.assertEqual(sim.stop(), 0)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        m = re.search(r"recorded (\d+) chunks \((\d+) bytes\) to ", proc.stderr)
        self.assertTrue(m, proc.stderr)
        # What came with the greeting's answer is the stream's beginning: nothing is lost.
        self.assertNotIn("corrupted", proc.stderr)

        recorded = chunks(self.path("rec.cap"))
        self.assertEqual(len(recorded), int(m.group(1)))
        self.assertEqual(sum(10 + c[1] for c in recorded), int(m.group(2)))
        lengths = {"A1": 77, "B2": 216, "C3": 91, "D4": 81}
        self.assertEqual([c[0] for c in recorded[:4]], ["A1", "B2", "C3", "D4"])
        for ssid, length, _ in recorded:
            self.assertEqual(length, lengths[ssid])

        # Decoding the recording again gives the same rows and summary.
        again = run([PALVEX_DECODE, self.path("rec.cap")])
        self.assertEqual(again.returncode, 0)
        with open(self.path("rec.csv")) as f:
            self.assertEqual(again.stdout, f.read())
        first = summary(proc.stderr)
        self.assertEqual(summary(again.stderr), first)
        self.assertEqual(set(first), set(lengths))
        for ssid, s in first.items():
            self.assertEqual(s["first"], 1)  # the recorder sees the stream from its first chunk
            # Random loss may lose neighbouring packets, so only: fillers exactly when packets were lost.
            self.assertEqual(s["fillers"] > 0, s["lost"] > 0)

    def test_recording_into_an_unwritable_file(self):
        with Simulator([], self.dir):
            proc = run([PALVEX_DECODE, "--hub", "::1", "--record", self.path("no/dir/rec.cap"), "--duration", 1])
        self.assert_one_line_error(proc, r"^palvex-decode: cannot write .*rec\.cap")


if __name__ == "__main__":
    unittest.main()
