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
import os
import statistics
import sys
import tempfile
import time

from capture_bench_args import ROOT, make_capture, parse


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
    args = parse(__doc__, 7, "the numpy path")
    os.environ.setdefault("PALVEX_LIBRARY_DIR", os.path.join(args.build, "src"))
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import numpy as np
    import palvex

    with tempfile.TemporaryDirectory() as tmp:
        capture = make_capture(args.build, os.path.join(tmp, "bench.cap"), args.packets, "--lose-every", "100")
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
