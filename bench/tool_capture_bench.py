#!/usr/bin/python3
"""palvex-decode on a capture, in seconds: to CSV, to CSV with time_s, to
BDF+ alone and to both, best and median of --repeat runs each.

    python3 bench/tool_capture_bench.py [--build build/default]

The capture is corvel-sim's: five boards of the five families, 40000
packets each, nothing lost (400000 rows). The outputs go to a temporary
folder (a tmpfs where /tmp is one), so the figures are the decoding and the
formatting, not the disk.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

from capture_bench_args import FAMILIES, make_capture, parse


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    args = parse(__doc__, 3, "each output")
    with tempfile.TemporaryDirectory() as tmp:
        capture = make_capture(args.build, os.path.join(tmp, "bench.cap"), args.packets)
        decode = [os.path.join(args.build, "tools", "palvex-decode"), capture]
        csv, bdf = ["--output", os.path.join(tmp, "out.csv")], ["--bdf", os.path.join(tmp, "out.bdf")]
        runs = {
            "CSV": decode + csv,
            "CSV with time_s": decode + csv + ["--sample-rate", "250"],
            "BDF+": decode + bdf + ["--sample-rate", "250"],
            "CSV + BDF+": decode + csv + bdf + ["--sample-rate", "250"],
        }
        timed(runs["CSV"])  # warm-up: the capture and the programs in the page cache
        chunks = len(FAMILIES) * args.packets
        print(f"capture: {chunks} chunks, {os.path.getsize(capture) / 1e6:.1f} MB")
        for name, command in runs.items():
            times = [timed(command) for _ in range(args.repeat)]
            best = min(times)
            print(f"{name:16s} best {best:.3f} s ({chunks / best / 1e3:.0f} k chunks/s), "
                  f"median {statistics.median(times):.3f} s ({args.repeat} runs)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
