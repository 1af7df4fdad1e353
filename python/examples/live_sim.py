#!/usr/bin/python3
"""Reads a hub live with palvex.Hub (corvel-sim by default on [::1]:5005)
for a few seconds: every board is registered as soon as the hub shows it,
its rows are taken as arrays twice a second, the newest rows are looked at
as a live plot would, one trigger command goes to the first board, and at
the end it prints what each board delivered.

    build/default/tools/corvel-sim --board A1:MES_4 --board B2:IMP_3 --duration 10 &
    PALVEX_LIBRARY_DIR=build/default/src PYTHONPATH=python python3 python/examples/live_sim.py
"""
import argparse
import os
import sys
import time

try:
    import numpy as np
    import palvex
except ImportError:  # run from the source tree without PYTHONPATH
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    import numpy as np
    import palvex


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--host", default="::1", help="hub address (default ::1)")
    p.add_argument("--seconds", type=float, default=3.0, help="how long to read (default 3)")
    p.add_argument("--no-trigger", action="store_true", help="do not send the trigger command")
    args = p.parse_args()

    hub = palvex.Hub(args.host)
    try:
        hub.open()
    except palvex.PalvexError as e:
        print(f"live_sim: no hub at {args.host}: {e}", file=sys.stderr)
        return 1
    taken = {}  # ssid -> list of arrays
    triggered = None
    with hub:
        start = time.monotonic()
        while time.monotonic() - start < args.seconds:
            time.sleep(0.5)
            for ssid in hub.ssids():
                window = hub.get_current_data(ssid, 250)  # the newest 250 rows: what a live plot draws
                taken.setdefault(ssid, []).append(hub.get_data(ssid))
            if not args.no_trigger and triggered is None and taken and time.monotonic() - start >= 1.0:
                triggered = next(iter(taken))
                hub.write(b"\x01", triggered)
        for ssid in taken:
            taken[ssid].append(hub.get_data(ssid))

    number = hub.columns.index("package_num")
    code = hub.columns.index("format_code")
    for index, (ssid, parts) in enumerate(taken.items(), start=1):
        rows = np.concatenate(parts)
        # The format code tells the family; MES_5 rows carry MES_4's code.
        c = int(rows[0, code]) if len(rows) else 0
        family = "MES_4 or MES_5" if c == 4 else palvex.CommType(c).name if c else "?"
        span = f"{rows[0, number]:.0f}..{rows[-1, number]:.0f}" if len(rows) else "-"
        print(f"board {index} {ssid} ({family}): {len(rows)} rows, packet numbers {span}, "
              f"{hub.overwritten(ssid)} overwritten")
    if triggered:
        print(f"trigger command 01 sent to {triggered}")
    return 0 if taken else 1


if __name__ == "__main__":
    sys.exit(main())
