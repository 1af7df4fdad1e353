"""palvex-decode --hub against a hub whose link fails (corvel-sim
--drop-every) and one that is not up yet (--wait). Every class opens
[::1]:5005 and runs under CTest's RESOURCE_LOCK palvex_hub_port; every
process is bounded and stopped by its pid, and every wait is for an event
the simulator or the decoder reports, not for a time."""
import re
import time
import unittest

from test_bdf import RATE, dump, loss_runs, time_line
from tooltest import (PALVEX_DECODE, Background, ScratchCase, Simulator, read_csv, rows_by_board, run,
                      summary)

OUTAGES = re.compile(r"^palvex-decode: hub connection lost (\d+) times?, (\d+\.\d) s in all \(longest (\d+\.\d) s\)$",
                     re.M)


def wait_for(test, condition, seconds, what):
    deadline = time.monotonic() + seconds
    while not condition():
        test.assertLess(time.monotonic(), deadline, f"waited {seconds} s for {what}")
        time.sleep(0.02)


class Outages(ScratchCase):
    """Needs [::1]:5005."""

    def test_the_run_goes_on_across_two_outages_and_marks_each(self):
        # Each connection is dropped 1.5 s after its greeting and the hub then
        # refuses connections for 0.3 s; the library connects again on its own.
        with Simulator(["--board", "A1:MES_4", "--board", "B2:WUA2", "--drop-every", "1.5:0.3", "--duration", 60],
                       self.dir) as sim:
            with Background([PALVEX_DECODE, "--hub", "::1", "--duration", 60, "--bdf", self.path("live.bdf"),
                             "--sample-rate", RATE, "-o", self.path("live.csv")], self.dir, "decode") as decode:
                # Ended well inside the third session, 1.5 s before its drop.
                wait_for(self, lambda: "(session 3)" in sim.stderr(), 20, "the third session")
                time.sleep(0.5)
                self.assertEqual(decode.stop(timeout=15), 0, decode.stderr())
            self.assertEqual(sim.stop(), 0)
        err = decode.stderr()
        self.assertIn("corvel-sim: dropped the connection 2 time(s)", sim.stderr())
        self.assertEqual(err.count("Corvel connection lost; reconnecting ..."), 2, err)
        m = OUTAGES.search(err)
        self.assertTrue(m, err)
        # Each outage lasts at least the 0.3 s the hub refused connections.
        self.assertEqual(int(m.group(1)), 2)
        self.assertGreaterEqual(float(m.group(2)), 0.6)
        self.assertGreaterEqual(float(m.group(3)), 0.3)

        header, rows = read_csv(self.path("live.csv"))
        boards = rows_by_board(header, rows)
        got = summary(err)
        pn, fi = header.index("package_num"), header.index("filler")
        for ssid in ("A1", "B2"):
            with self.subTest(board=ssid):
                places = time_line(header, boards[ssid])
                numbers = [int(r[pn]) for r in boards[ssid]]
                self.assertEqual(numbers, sorted(set(numbers)))
                self.assertEqual((got[ssid]["first"], got[ssid]["last"]), (numbers[0], numbers[-1]))
                # The boards counted on through the outages: nothing else was
                # lost, so the only losses are the two outages, each with
                # decoded rows before and after it.
                runs = loss_runs(header, boards[ssid], places)
                self.assertEqual(len(runs), 2, runs)
                self.assertGreater(runs[0][0], 0)
                self.assertLess(runs[1][0] + runs[1][1], places[-1])
                # Every packet number from the first to the last is a row once,
                # decoded or filler; the fillers are the outages' packets.
                self.assertEqual(numbers, list(range(numbers[0], numbers[-1] + 1)))
                self.assertEqual(sum(r[fi] == "1" for r in boards[ssid]), sum(length for _, length, _ in runs))
                self.assertEqual(got[ssid]["lost"], sum(lost for _, _, lost in runs))
                # In the file, "hub connection lost" lies over each outage's
                # loss, from the last sample before it to the first decoded
                # sample after it, beside its "lost packets: N".
                notes = dump(self.path(f"live_{ssid}.bdf"))["annotations"]
                lost = [(a["onset"], a["duration"]) for a in notes if a["text"].startswith("lost packets: ")]
                cut = [(a["onset"], a["duration"]) for a in notes if a["text"] == "hub connection lost"]
                self.assertEqual(cut, lost)
                self.assertEqual([onset for onset, _ in cut], [s * 10_000_000 // RATE for s, _, _ in runs])

    def test_a_trigger_during_an_outage_is_not_sent_and_not_annotated(self):
        # The connection drops 0.5 s after the greeting and the hub refuses
        # connections for 1.2 s more: the trigger, one second in, finds none.
        with Simulator(["--board", "A1:MES_4", "--drop-every", "0.5:1.2", "--duration", 60], self.dir) as sim:
            proc = run([PALVEX_DECODE, "--hub", "::1", "--duration", 2.5, "--trigger", "--bdf", self.path("t.bdf"),
                        "--sample-rate", RATE, "-o", self.path("t.csv")], timeout=60)
            self.assertEqual(sim.stop(), 0)
            self.assertEqual(sim.stdout(), "")  # no write frame reached the hub
        self.assertIn("palvex-decode: trigger command 01 not sent to board A1 (result 5: no hub connection)\n",
                      proc.stderr)
        self.assertNotIn("trigger command 01 sent", proc.stderr)
        self.assert_one_line_error(proc, r"^palvex-decode: the trigger command was not sent \(result 5: no hub "
                                         r"connection\)$")
        notes = [a["text"] for a in dump(self.path("t.bdf"))["annotations"]]
        self.assertNotIn("trigger", notes)
        self.assertIn("hub connection lost", notes)


class Waiting(ScratchCase):
    """Needs [::1]:5005."""

    def test_a_hub_started_later_is_waited_for(self):
        for mode in ([], ["--record", self.path("rec.cap")]):
            with self.subTest(mode=mode):
                args = [PALVEX_DECODE, "--hub", "::1", "--wait", 30, "--duration", 1, "-o", self.path("w.csv")]
                with Background(args + mode, self.dir, "decode") as decode:
                    time.sleep(1)  # the decoder is trying by now; it must not give up
                    self.assertIsNone(decode.proc.poll(), decode.stderr())
                    with Simulator(["--board", "A1:MES_4", "--duration", 60], self.dir) as sim:
                        self.assertEqual(decode.wait(30), 0, decode.stderr())
                        self.assertEqual(sim.stop(), 0)
                self.assertGreater(summary(decode.stderr())["A1"]["rows"], 0)

    def test_no_hub_within_the_wait_is_one_line_with_the_time_waited(self):
        for mode in ([], ["--record", self.path("r.cap")]):
            with self.subTest(mode=mode):
                proc = run([PALVEX_DECODE, "--hub", "::1", "--wait", 1, "--duration", 1] + mode, timeout=60)
                line = self.assert_one_line_error(proc, r"^palvex-decode: no connection to a hub at ::1 \(port 5005\) "
                                                        r"in (\d+\.\d) s: Connection refused$")
                self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
                self.assertGreaterEqual(float(re.search(r" in (\d+\.\d) s", line).group(1)), 1.0)


if __name__ == "__main__":
    unittest.main()
