#!/usr/bin/python3
"""A live Python host under load: palvex.Hub reading 8 simulated boards at
500 packets per second each (8000 rows per second) for 10 seconds, as a
plotting recorder does: ten times a second, per board, the newest 500 rows
for the plot (get_current_data) and everything new for the recording
(get_data).

    unshare -n sh -c 'ip link set lo up && python3 bench/python_hub_bench.py'

(port 5005 is one per machine: a private network namespace keeps this run
apart from other runs on the machine.)

corvel-sim runs in a process of its own. The host's CPU load is its process
CPU time (user + system, resource.getrusage: the library's read loop, the
discovery thread and the Python loop, all threads) over the wall time of
the 10 seconds, in per cent of one core. A lost row is one the recording
lacks between its first and last row (a gap in the packet numbers, a filler
row, or a row a full buffer overwrote).
"""
import argparse
import os
import resource
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAMILIES = ["MES_4", "WUA2", "IMP_3", "MES_2", "MES_5", "MES_4", "WUA2", "MES_5"]


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build", "default"), help="CMake build folder")
    p.add_argument("--boards", type=int, default=8)
    p.add_argument("--packet-rate", type=int, default=500, help="packets per second per board (default 500)")
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--refresh", type=float, default=10.0, help="host loop rounds per second (default 10)")
    args = p.parse_args()
    os.environ.setdefault("PALVEX_LIBRARY_DIR", os.path.join(args.build, "src"))
    sys.path.insert(0, os.path.join(ROOT, "python"))
    import numpy as np
    import palvex

    ssids = [f"{chr(ord('A') + i)}{i + 1}" for i in range(args.boards)]
    cmd = [os.path.join(args.build, "tools", "corvel-sim"), "--packet-rate", str(args.packet_rate),
           "--duration", str(args.seconds + 10)]
    for ssid, family in zip(ssids, FAMILIES * (args.boards // len(FAMILIES) + 1)):
        cmd += ["--board", f"{ssid}:{family}"]
    sim = subprocess.Popen(cmd, stderr=subprocess.PIPE, text=True)
    try:
        line = sim.stderr.readline()
        if "listening" not in line:
            print(f"corvel-sim did not start: {line}", file=sys.stderr)
            return 1
        recorded = {s: [] for s in ssids}
        with palvex.Hub("::1", boards=ssids, capacity=1 << 16) as hub:
            pn = hub.columns.index("package_num")
            wall0, cpu0 = time.monotonic(), cpu_seconds()
            rounds = 0
            while time.monotonic() - wall0 < args.seconds:
                rounds += 1
                time.sleep(max(0.0, wall0 + rounds / args.refresh - time.monotonic()))
                for s in ssids:
                    hub.get_current_data(s, 500)  # the window a plot would draw
                    recorded[s].append(hub.get_data(s))
            wall, cpu = time.monotonic() - wall0, cpu_seconds() - cpu0
            overwritten = {s: hub.overwritten(s) for s in ssids}
    finally:
        if sim.poll() is None:
            sim.send_signal(signal.SIGTERM)
        sim.wait(10)

    total = lost = 0
    for s in ssids:
        rows = np.concatenate(recorded[s])
        numbers = rows[:, pn]
        fillers = rows[:, hub.columns.index("filler")] == 1.0
        missing = int(numbers[-1] - numbers[0] + 1 - len(rows)) if len(rows) else 0
        lost += missing + int(fillers.sum()) + overwritten[s]
        total += len(rows)
        print(f"board {s}: {len(rows)} rows, packet numbers {numbers[0]:.0f}..{numbers[-1]:.0f}, "
              f"{missing} missing, {int(fillers.sum())} filler, {overwritten[s]} overwritten")
    print(f"{args.boards} boards x {args.packet_rate} packets/s for {wall:.2f} s: {total} rows ({total / wall:.0f} rows/s), "
          f"{lost} lost")
    print(f"host CPU: {cpu:.3f} s over {wall:.2f} s wall = {100 * cpu / wall:.1f} % of one core "
          f"({rounds} rounds of get_current_data + get_data per board)")
    return 0 if lost == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
