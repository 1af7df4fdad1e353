#!/usr/bin/python3
"""Reads a hub live through the library's hub mode (corvel-sim by default on
[::1]:5005) for a few seconds: registers every board as soon as its SSID
appears, counts its rows, sends one trigger command to the first board and
prints what it got.

    build/default/tools/corvel-sim --board A1:MES_4 --board B2:IMP_3 --duration 10 &
    PALVEX_LIBRARY_DIR=build/default/src python3 python/examples/live_sim.py
"""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from palvex import lowlevel as palvex  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--host", default="::1", help="hub address (default ::1)")
    p.add_argument("--seconds", type=float, default=3.0, help="how long to read (default 3)")
    p.add_argument("--no-trigger", action="store_true", help="do not send the trigger command")
    p.add_argument("--library", help="path of libPalvexWrapper.so (default: the package's search, e.g. $PALVEX_LIBRARY_DIR)")
    args = p.parse_args()

    lib = palvex.Library(args.library)
    lib.set_board_json(palvex.DEFAULT_DESCRIPTOR)
    try:
        lib.open_connection(args.host)
    except palvex.PalvexError as e:
        print(f"live_sim: no hub at {args.host}: {e}", file=sys.stderr)
        return 1
    lib.start_reading()

    boards = {}  # ssid -> (context, rows)
    start = time.monotonic()
    triggered = None
    while time.monotonic() - start < args.seconds:
        for ssid in lib.ssids():
            if ssid not in boards:
                rows = []
                ctx = lib.context(on_row=rows.append, name=ssid)
                lib.set_board(ctx, ssid)
                boards[ssid] = (ctx, rows)
        if not args.no_trigger and triggered is None and boards and time.monotonic() - start >= 1.0:
            triggered = next(iter(boards))
            lib.write_data(b"\x01", boards[triggered][0])
        time.sleep(0.005)
    lib.hub_release()

    for index, (ssid, (ctx, rows)) in enumerate(boards.items(), start=1):
        numbers = [int(r[26]) for r in rows]
        # The format code column tells the family; MES_5 rows carry MES_4's code.
        code = int(rows[0][30]) if rows else 0
        family = "MES_4 or MES_5" if code == 4 else palvex.CommType(code).name if code else "?"
        print(f"board {index} {lib.ssid_by_index(index)} ({family}): {len(rows)} rows, packet numbers "
              f"{numbers[0] if numbers else '-'}..{numbers[-1] if numbers else '-'}")
    if triggered:
        print(f"trigger command 01 sent to {triggered}")
    return 0 if boards else 1


if __name__ == "__main__":
    sys.exit(main())
