"""What the capture benchmarks share: their command line and the capture
they decode, corvel-sim's five boards of the five families."""
import argparse
import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FAMILIES = ["MES_4", "WUA2", "IMP_3", "MES_2", "MES_5"]


def parse(doc, repeat, runs_of):
    """--build, --packets and --repeat (default `repeat`, the runs of `runs_of`)."""
    p = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build", "default"), help="CMake build folder")
    p.add_argument("--packets", type=int, default=40000, help="packets per board (default 40000)")
    p.add_argument("--repeat", type=int, default=repeat, help=f"runs of {runs_of} (default {repeat})")
    return p.parse_args()


def make_capture(build, path, packets, *extra):
    """The five boards' first `packets` packets as a capture at `path`."""
    sim = [os.path.join(build, "tools", "corvel-sim"), "--capture", path, "--packets", str(packets), *extra]
    for i, family in enumerate(FAMILIES):
        sim += ["--board", f"{chr(ord('A') + i)}{i + 1}:{family}"]
    subprocess.run(sim, check=True, capture_output=True)
    return path
