#!/usr/bin/python3
"""Python capture decoding in rows per second: palvex.decode_capture (the
numpy path) next to the per-row path of palvex.lowlevel (a Python callback
per row), on the same capture in the same run.

    python3 bench/python_capture_bench.py [--build build/default]

The capture is corvel-sim's: five boards of the five families, 40000
packets each, every 100th lost (399990 rows, 3990 of them filler rows
for the lost packets). The numpy path runs
--repeat times after one warm-up and reports its best and median; the
per-row path, some 50 times slower, runs once. Both decode every board from
a fresh decoder and must give the same rows.
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


def per_row(path):
    """Every board's rows through the lowlevel binding: one Python call per
    chunk to hand it over, one Python callback per row to take a row."""
    from palvex import lowlevel
    lib = lowlevel.Library()
    lib.set_board_json(lowlevel.DEFAULT_DESCRIPTOR)
    chunks = list(lowlevel.read_capture(path))
    boards = {}
    for ssid, _, _ in chunks:
        boards.setdefault(ssid, [])
    for ssid, rows in boards.items():
        lib.release()
        ctx = lib.context(on_row=rows.append)
        for s, payload, _ in chunks:
            if s == ssid:
                lib.interpret(payload, ctx, check=False)
    lib.release()
    return boards


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build", "default"), help="CMake build folder")
    p.add_argument("--packets", type=int, default=40000, help="packets per board (default 40000)")
    p.add_argument("--repeat", type=int, default=7, help="runs of the numpy path (default 7)")
    args = p.parse_args()
    os.environ.setdefault("PALVEX_LIBRARY_DIR", os.path.join(args.build, "src"))
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import numpy as np
    import palvex

    with tempfile.TemporaryDirectory() as tmp:
        capture = os.path.join(tmp, "bench.cap")
        sim = [os.path.join(args.build, "tools", "corvel-sim"), "--capture", capture, "--packets", str(args.packets),
               "--lose-every", "100"]
        for i, family in enumerate(FAMILIES):
            sim += ["--board", f"{chr(ord('A') + i)}{i + 1}:{family}"]
        subprocess.run(sim, check=True, capture_output=True)
        size = os.path.getsize(capture)

        palvex.decode_capture(capture)  # warm-up: libraries loaded, file in the page cache
        times = []
        for _ in range(args.repeat):
            start = time.perf_counter()
            boards = palvex.decode_capture(capture)
            times.append(time.perf_counter() - start)
        rows = sum(len(r) for r in boards.values())

        start = time.perf_counter()
        old = per_row(capture)
        old_time = time.perf_counter() - start
        old_rows = sum(len(r) for r in old.values())

    same = all(np.array_equal(np.array(old[s]), boards[s].data) for s in boards)
    best, median = min(times), statistics.median(times)
    print(f"capture: {len(boards)} boards, {rows} rows, {size / 1e6:.1f} MB")
    print(f"numpy path (decode_capture): best {best * 1e3:.1f} ms = {rows / best / 1e6:.2f} M rows/s, "
          f"median {median * 1e3:.1f} ms = {rows / median / 1e6:.2f} M rows/s ({args.repeat} runs)")
    print(f"per-row path (lowlevel):     {old_time * 1e3:.0f} ms = {old_rows / old_time / 1e6:.3f} M rows/s")
    print(f"speed-up: {old_time / best:.0f}x (best), {old_time / median:.0f}x (median); same rows: {same}")
    return 0 if same and rows == old_rows else 1


if __name__ == "__main__":
    sys.exit(main())
