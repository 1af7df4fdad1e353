#!/usr/bin/python3
"""palvex-decode on a capture, in seconds: to CSV, to CSV with time_s, to
BDF+ alone and to both, best and median of --repeat runs each.

    python3 bench/tool_capture_bench.py [--build build/default]

The capture is corvel-sim's: five boards of the five families, 40000
packets each, nothing lost (400000 rows). The outputs go to a temporary
folder (a tmpfs where /tmp is one), so the figures are the decoding and the
formatting, not the disk.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAMILIES = ["MES_4", "WUA2", "IMP_3", "MES_2", "MES_5"]


def timed(command):
    start = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.perf_counter() - start


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build", "default"), help="CMake build folder")
    p.add_argument("--packets", type=int, default=40000, help="packets per board (default 40000)")
    p.add_argument("--repeat", type=int, default=3, help="runs of each output (default 3)")
    args = p.parse_args()
    tools = os.path.join(args.build, "tools")
    with tempfile.TemporaryDirectory() as tmp:
        capture = os.path.join(tmp, "bench.cap")
        sim = [os.path.join(tools, "corvel-sim"), "--capture", capture, "--packets", str(args.packets)]
        for i, family in enumerate(FAMILIES):
            sim += ["--board", f"{chr(ord('A') + i)}{i + 1}:{family}"]
        subprocess.run(sim, check=True, capture_output=True)
        decode = [os.path.join(tools, "palvex-decode"), capture]
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
