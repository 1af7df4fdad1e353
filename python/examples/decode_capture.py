#!/usr/bin/python3
"""Decodes a capture file (hub chunks as on the wire) with the single-board
exports, one board after the other, and prints per board the row count, the
packet numbers and the first row.

    PALVEX_LIBRARY_DIR=build/default/src \
        python3 python/examples/decode_capture.py capture.bin

The library has one single-board decoder, so each SSID gets its own pass
over the file with the decoder released in between: every board's loss
accounting sees that board's packets only.
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from palvex import lowlevel as palvex  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("capture")
    p.add_argument("--descriptor", help="board descriptor JSON file (default: the 32-column one)")
    p.add_argument("--library", help="path of libPalvexWrapper.so (default: the package's search, e.g. $PALVEX_LIBRARY_DIR)")
    args = p.parse_args()

    lib = palvex.Library(args.library)
    descriptor = palvex.DEFAULT_DESCRIPTOR
    if args.descriptor:
        with open(args.descriptor) as f:
            descriptor = f.read()
    lib.set_board_json(descriptor)
    names = palvex.default_columns()

    try:
        ssids = []
        for ssid, _, _ in palvex.read_capture(args.capture):
            if ssid not in ssids:
                ssids.append(ssid)
    except (OSError, ValueError) as e:
        print(f"decode_capture: {e}", file=sys.stderr)
        return 1

    for ssid in ssids:
        rows = []
        ctx = lib.context(on_row=rows.append, name=ssid)
        lib.release()
        refused = 0
        for chunk_ssid, payload, _ in palvex.read_capture(args.capture):
            if chunk_ssid != ssid:
                continue
            try:
                lib.interpret(payload, ctx)
            except palvex.PalvexError as e:
                refused += 1
                if e.code == palvex.Result.NO_DESCRIPTOR:
                    print(f"decode_capture: board {ssid}: {e}", file=sys.stderr)
                    break
        lib.release()
        numbers = [int(r[26]) for r in rows]
        print(f"board {ssid}: {len(rows)} rows, packet numbers {numbers[0] if numbers else '-'}.."
              f"{numbers[-1] if numbers else '-'}, {refused} buffers refused")
        if rows:
            first = ", ".join(f"{n}={v:g}" for n, v in zip(names, rows[0]) if v != 0)
            print(f"  first row: {first}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
