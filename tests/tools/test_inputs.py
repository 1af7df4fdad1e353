"""palvex-decode on inputs that are not plain captures: a pipe, standard
input and a process substitution decode like the file; input of which no row
can be decoded is an error of one line. No network."""
import json
import os
import random
import subprocess
import unittest

from tooltest import EVERY_FAMILY, PALVEX_DECODE, ScratchCase, chunk, make_capture, run


class Inputs(ScratchCase):
    """Inputs that can be read only once decode exactly like the file."""

    def test_pipe_standard_input_and_process_substitution(self):
        capture = make_capture(self.path("c.cap"), EVERY_FAMILY, packets=120, lose_every=40)
        want = run([PALVEX_DECODE, capture, "--sample-rate", 250])
        self.assertEqual(want.returncode, 0, want.stderr)
        cases = [
            ("- from a file", [PALVEX_DECODE, "-", "--sample-rate", 250], {"stdin": open(capture, "rb")}),
            ("- from a pipe", ["sh", "-c", f'cat "{capture}" | "{PALVEX_DECODE}" - --sample-rate 250'], {}),
            ("/dev/stdin of a pipe", ["sh", "-c", f'cat "{capture}" | "{PALVEX_DECODE}" /dev/stdin --sample-rate 250'],
             {}),
            ("process substitution", ["bash", "-c", f'"{PALVEX_DECODE}" <(cat "{capture}") --sample-rate 250'], {}),
        ]
        for name, args, kw in cases:
            with self.subTest(name):
                got = subprocess.run([str(a) for a in args], capture_output=True, timeout=30, **kw)
                if "stdin" in kw:
                    kw["stdin"].close()
                self.assertEqual(got.returncode, 0, got.stderr)
                self.assertEqual(got.stdout.decode(), want.stdout)
                self.assertEqual(got.stderr.decode(), want.stderr)
        # Nothing is left behind in the temporary folder.
        tmp = self.path("tmp")
        os.mkdir(tmp)
        got = subprocess.run(["sh", "-c", f'cat "{capture}" | "{PALVEX_DECODE}" - -o "{self.path("p.csv")}"'],
                             capture_output=True, timeout=30, env=dict(os.environ, TMPDIR=tmp))
        self.assertEqual(got.returncode, 0, got.stderr)
        self.assertEqual(os.listdir(tmp), [])


class NoRows(ScratchCase):
    """Input of which no row can be decoded: one line, exit status 1, no file."""

    def test_nothing_to_decode_is_an_error_of_one_line(self):
        rng = random.Random(15)
        # Chunks the library refuses have no plausible header (an unknown
        # type word, a wrong length): each is followed by a configuration
        # confirmation, whose header is, so that they read as chunks.
        confirmation = chunk("A1", b"\x01" * 5)
        refused = b"".join(chunk("A1", b"\x09\x00" + bytes(75)) + confirmation for _ in range(10)) + \
            b"".join(chunk("B1", b"\x04\x00" + bytes(28)) + confirmation for _ in range(10))
        cases = [
            ("empty", b"", r"no row decoded from .*in\.cap: it is empty$"),
            ("random bytes", bytes(rng.randrange(256) for _ in range(100_000)),
             r"no row decoded from .*in\.cap: no hub chunk \(100000 bytes skipped, where no chunk boundary was "
             r"found\)$"),
            ("corrupted headers only", chunk("", b"", length=-1) * 5,
             r"no row decoded from .*: no hub chunk \(50 bytes skipped, where no chunk boundary was found\)$"),
            ("a chunk cut off", chunk("A1", b"\x04\x00" + bytes(75))[:50],
             r"no row decoded from .*: no hub chunk \(50 bytes of a chunk cut off by the end\)$"),
            ("every buffer refused or without rows", refused,
             r"no row decoded from .*: no buffer gave a row; the library refused 20 of 40 buffers of 2 boards "
             r"\(result codes 1 and 11\)$"),
        ]
        for name, data, pattern in cases:
            with self.subTest(name):
                with open(self.path("in.cap"), "wb") as f:
                    f.write(data)
                for outputs in ([], ["-o", self.path("out.csv")], ["--bdf", self.path("out.bdf"), "--sample-rate", 250]):
                    proc = run([PALVEX_DECODE, self.path("in.cap")] + outputs)
                    self.assert_one_line_error(proc, r"^palvex-decode: " + pattern)
                    self.assertEqual(len(proc.stderr.splitlines()), 1, proc.stderr)
                    self.assertEqual(proc.stdout, "")
                    self.assertEqual(sorted(os.listdir(self.dir)), ["in.cap"])
                piped = subprocess.run([PALVEX_DECODE, "-"], input=data, capture_output=True, timeout=30)
                self.assertEqual(piped.returncode, 1)
                self.assertEqual(len(piped.stderr.splitlines()), 1, piped.stderr)

    def test_a_descriptor_refused_for_every_board(self):
        capture = make_capture(self.path("c.cap"), {"A1": "MES_4", "D4": "MES_2"}, packets=10, lose_every=0)
        with open(self.path("imp.json"), "w") as f:
            json.dump({"num_rows": 33, "package_num_channel": 26, "battery_channel": 27, "filler_channel": 32,
                       "resistance_channels": list(range(14, 24)), "other_channels": [28, 30]}, f)
        proc = run([PALVEX_DECODE, "--descriptor", self.path("imp.json"), capture, "-o", self.path("x.csv")])
        self.assert_one_line_error(proc, r"^palvex-decode: no row decoded from .*: the library refused the "
                                         r"descriptor \(result code 6\) for board\(s\) A1 \(MES_4\), D4 \(MES_2\)$")
        self.assertFalse(os.path.exists(self.path("x.csv")))


if __name__ == "__main__":
    unittest.main()
