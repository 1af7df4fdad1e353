#!/usr/bin/python3
"""palvex-plot: draws the first seconds of a CSV written by palvex-decode.

ExG channels stacked on top, accelerometer and gyroscope below, filler rows
(rows the library filled in for lost packets) shaded. Needs Debian's
python3-matplotlib.
"""
import argparse
import csv
import os
import sys

PROG = "palvex-plot"


class PlotError(Exception):
    pass


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Draws the first seconds of one board of a palvex-decode CSV as a PNG: "
        "ExG channels stacked, accelerometer and gyroscope below, filler rows shaded.",
        epilog="The time axis comes from the packet numbers (one number per row): "
        "t = (package_num - first) / sample rate. Exit status: 0 done, 1 an error, 2 a bad command line.",
    )
    p.add_argument("csv", help="CSV file written by palvex-decode ('-' reads standard input)")
    p.add_argument("-o", "--output", help="PNG to write (default: the CSV's name with .png)")
    p.add_argument("--ssid", help="board to draw (default: the first board with ExG data)")
    p.add_argument("--seconds", type=float, default=2.0, help="how many seconds to draw (default 2)")
    p.add_argument("--sample-rate", type=float, default=250.0,
                   help="rows per second of the board (default 250: corvel-sim's 125 packets/s)")
    p.add_argument("--title", help="title of the picture")
    args = p.parse_args(argv)
    if args.seconds <= 0 or args.sample_rate <= 0:
        p.error("--seconds and --sample-rate must be positive")
    if args.output is None:
        if args.csv == "-":
            p.error("--output is needed when reading standard input")
        args.output = os.path.splitext(args.csv)[0] + ".png"
    return args


def read_csv(path):
    try:
        f = sys.stdin if path == "-" else open(path, newline="")
    except OSError as e:
        raise PlotError(f"cannot read {path}: {e.strerror}")
    with f:
        reader = csv.reader(f)
        try:
            header = next(reader)
        except StopIteration:
            raise PlotError(f"{path} is empty")
        except (csv.Error, UnicodeDecodeError) as e:
            raise PlotError(f"{path} is not a CSV file: {e}")
        for needed in ("ssid", "package_num"):
            if needed not in header:
                raise PlotError(f"{path} has no '{needed}' column: not a palvex-decode CSV")
        rows = []
        try:
            for line, fields in enumerate(reader, start=2):
                if len(fields) != len(header):
                    raise PlotError(f"{path}, line {line}: {len(fields)} fields, the header has {len(header)}")
                rows.append(fields)
        except (csv.Error, UnicodeDecodeError) as e:
            raise PlotError(f"{path} is not a CSV file: {e}")
    return header, rows


def columns_of(header, prefix, names=None):
    if names is not None:
        return [(n, header.index(f"{prefix}_{n}")) for n in names if f"{prefix}_{n}" in header]
    out = []
    i = 0
    while f"{prefix}_{i}" in header:
        out.append((str(i), header.index(f"{prefix}_{i}")))
        i += 1
    return out


def select_board(header, rows, ssid, exg):
    si = header.index("ssid")
    if ssid is not None:
        chosen = [r for r in rows if r[si] == ssid]
        if not chosen:
            raise PlotError(f"no rows of board '{ssid}'")
        return ssid, chosen
    order = []
    by_board = {}
    for r in rows:
        if r[si] not in by_board:
            by_board[r[si]] = []
            order.append(r[si])
        by_board[r[si]].append(r)
    if not order:
        raise PlotError("the CSV holds no rows")
    for s in order:
        if any(float(r[c]) != 0.0 for r in by_board[s][:50] for _, c in exg):
            return s, by_board[s]
    return order[0], by_board[order[0]]


def filler_flags(header, rows):
    if "filler" in header:
        fi = header.index("filler")
        return [r[fi] == "1" for r in rows]
    # Older CSVs: a filler repeats the previous row but for its packet number.
    pn = header.index("package_num")
    flags = [False]
    for prev, cur in zip(rows, rows[1:]):
        same = all(a == b for k, (a, b) in enumerate(zip(prev, cur)) if k != pn)
        flags.append(same and float(cur[pn]) == float(prev[pn]) + 1)
    return flags


def runs(times, flags, half):
    """Spans [start, end] of consecutive filler rows."""
    spans = []
    start = None
    for t, f in zip(times, flags):
        if f and start is None:
            start = t
        if not f and start is not None:
            spans.append((start - half, last + half))
            start = None
        last = t
    if start is not None:
        spans.append((start - half, last + half))
    return spans


def plot(args):
    header, rows = read_csv(args.csv)
    exg = columns_of(header, "exg")
    accel = columns_of(header, "accel", ["x", "y", "z"])
    gyro = columns_of(header, "gyro", ["x", "y", "z"])
    if not (exg or accel or gyro):
        raise PlotError(f"{args.csv} has no exg, accel or gyro columns")
    ssid, board_rows = select_board(header, rows, args.ssid, exg)
    try:
        pn = header.index("package_num")
        first = float(board_rows[0][pn])
        times = [(float(r[pn]) - first) / args.sample_rate for r in board_rows]
        keep = [i for i, t in enumerate(times) if t <= args.seconds]
        flags_all = filler_flags(header, board_rows)
        board_rows = [board_rows[i] for i in keep]
        times = [times[i] for i in keep]
        flags = [flags_all[i] for i in keep]
        values = lambda c: [float(r[c]) for r in board_rows]
        exg_values = [(n, values(c)) for n, c in exg]
        accel_values = [(n, values(c)) for n, c in accel]
        gyro_values = [(n, values(c)) for n, c in gyro]
    except ValueError as e:
        raise PlotError(f"{args.csv} holds a value that is not a number: {e}")

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise PlotError("needs matplotlib: apt-get install python3-matplotlib")

    panels = [p for p in (("exg", exg_values), ("accel", accel_values), ("gyro", gyro_values)) if p[1]]
    ratios = [3 if name == "exg" else 1 for name, _ in panels]
    fig, axes = plt.subplots(len(panels), 1, sharex=True, figsize=(10, 7.5),
                             gridspec_kw={"height_ratios": ratios}, squeeze=False)
    axes = [a[0] for a in axes]
    spans = runs(times, flags, 0.5 / args.sample_rate)
    # Missing packet numbers (packets dropped after a gap) break the lines.
    breaks = {i for i in range(1, len(times)) if times[i] - times[i - 1] > 1.5 / args.sample_rate}

    def broken(v):
        xs, ys = [], []
        for i, (t, y) in enumerate(zip(times, v)):
            if i in breaks:
                xs.append(float("nan"))
                ys.append(float("nan"))
            xs.append(t)
            ys.append(y)
        return xs, ys

    for ax, (name, series) in zip(axes, panels):
        if name == "exg":
            swing = max((max(v) - min(v) for _, v in series if v), default=1.0) or 1.0
            step = swing * 1.1
            ticks = []
            for k, (n, v) in enumerate(series):
                offset = -k * step
                ax.plot(*broken([x + offset for x in v]), linewidth=0.8)
                ticks.append((offset, f"exg_{n}"))
            ax.set_yticks([t for t, _ in ticks])
            ax.set_yticklabels([l for _, l in ticks])
            ax.set_ylabel(f"ExG (uV, {step:.0f} apart)")
        else:
            for n, v in series:
                ax.plot(*broken(v), linewidth=0.9, label=f"{name}_{n}")
            ax.set_ylabel("accelerometer (g)" if name == "accel" else "gyroscope (deg/s)")
            ax.legend(loc="upper right", fontsize="small", ncol=3)
        for k, (a, b) in enumerate(spans):
            ax.axvspan(a, b, color="tab:red", alpha=0.25, linewidth=0,
                       label="filler rows" if (k == 0 and ax is axes[0]) else None)
        ax.grid(True, alpha=0.3)
    if spans:
        axes[0].legend(loc="upper right", fontsize="small")
    axes[-1].set_xlabel(f"time (s), from packet number {first:.0f} at {args.sample_rate:g} rows/s")
    fillers = sum(flags)
    axes[0].set_title(args.title or f"board {ssid}: {len(board_rows)} rows, {fillers} filler rows")
    fig.tight_layout()
    try:
        fig.savefig(args.output, dpi=80)
    except OSError as e:
        raise PlotError(f"cannot write {args.output}: {e.strerror}")
    plt.close(fig)
    print(f"{PROG}: wrote {args.output} (board {ssid}, {len(board_rows)} rows, {fillers} filler rows, "
          f"{times[-1] if times else 0:.2f} s)", file=sys.stderr)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        plot(args)
    except ValueError as e:
        print(f"{PROG}: {args.csv} holds a value that is not a number ({e})", file=sys.stderr)
        return 1
    except PlotError as e:
        print(f"{PROG}: {e}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
