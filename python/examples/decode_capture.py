#!/usr/bin/python3
"""Decodes a capture file (hub chunks as on the wire) into one numpy array
per board with palvex.decode_capture, and prints per board the row count,
the packet numbers, the filler rows and the first row.

    PALVEX_LIBRARY_DIR=build/default/src PYTHONPATH=python \
        python3 python/examples/decode_capture.py capture.bin

What did not decode (a damaged stretch the reader passed over, a chunk cut
off by the end of the file, chunks of a family the descriptor cannot serve)
is reported on standard error, and the exit status is then 1; everything
else is decoded all the same.
"""
import argparse
import os
import sys
import warnings

try:
    import palvex
except ImportError:  # run from the source tree without PYTHONPATH
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    import palvex


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("capture")
    p.add_argument("--descriptor", help="board descriptor JSON file (default: the package's default)")
    args = p.parse_args()

    descriptor = None
    if args.descriptor:
        with open(args.descriptor, encoding="utf-8") as f:
            descriptor = f.read()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", palvex.CaptureWarning)
        try:
            boards = palvex.decode_capture(args.capture, descriptor)
        except (OSError, ValueError) as e:
            print(f"decode_capture: {e}", file=sys.stderr)
            return 1

    for ssid, rec in boards.items():
        numbers = rec["package_num"]
        span = f"{numbers[0]:.0f}..{numbers[-1]:.0f}" if len(rec) else "-"
        print(f"board {ssid}: {len(rec)} rows, packet numbers {span}, {int(rec.filler.sum())} filler rows, "
              f"{rec.rejected} buffers refused")
        if len(rec):
            first = ", ".join(f"{n}={v:g}" for n, v in zip(rec.columns, rec.data[0]) if v != 0)
            print(f"  first row: {first}")
    for w in caught:
        print(f"decode_capture: {w.message}", file=sys.stderr)
    return 1 if caught else 0


if __name__ == "__main__":
    sys.exit(main())
