#!/usr/bin/python3
"""palvex-plot: draws the first seconds of a CSV written by palvex-decode.

One board, the panels its family has: ExG channels stacked with an
amplitude scale, accelerometer, gyroscope, PPG, resistances and battery;
filler rows (the library's filler column) shaded. Needs Debian's
python3-matplotlib.
"""
import argparse
import csv
import math
import os
import sys

PROG = "palvex-plot"
VERSION = "@PROJECT_VERSION@"

FAMILY_OF_CODE = {1: "WUA2", 2: "MES_2", 3: "IMP_3", 4: "MES_4"}
# The panels of each family, top to bottom.
PANELS = {
    "WUA2": ["exg", "accel", "gyro", "resistance", "battery"],
    "MES_2": ["exg", "accel", "gyro", "battery"],
    "IMP_3": ["resistance", "battery"],
    "MES_4": ["exg", "accel", "gyro", "ppg", "battery"],
    "MES_5": ["exg", "accel", "gyro", "ppg", "battery"],
}
AXIS_LABEL = {
    "accel": "accelerometer (g)",
    "gyro": "gyroscope (deg/s)",
    "ppg": "PPG (a.u.)",
    "resistance": "resistance (Ohm)",
    "battery": "battery (%)",
}


class PlotError(Exception):
    pass


def parse_args(argv):
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Draws the first seconds of one board of a palvex-decode CSV as a PNG: the panels the "
        "board's family has (ExG stacked, with an amplitude scale; accelerometer, gyroscope, PPG, "
        "resistance, battery), filler rows shaded.",
        epilog="Time comes from the CSV's time_s column when it has one (palvex-decode with a sampling rate), "
        "else from the packet numbers: t = (package_num - first) / sample rate. Filler rows are those the "
        "CSV's filler column marks. Exit status: 0 done, 1 an error, 2 a bad command line.",
    )
    p.add_argument("csv", help="CSV file written by palvex-decode ('-' reads standard input)")
    p.add_argument("-o", "--output", help="PNG to write (default: the CSV's name with .png)")
    p.add_argument("--ssid", help="board to draw (default: the first board with ExG data)")
    p.add_argument("--seconds", type=float, default=2.0, help="how many seconds to draw (default 2)")
    p.add_argument("--sample-rate", type=float, default=None,
                   help="samples (rows) per second of the board, for a CSV without time_s (default 250: "
                   "corvel-sim's default --packet-rate of 125, two samples a packet)")
    p.add_argument("--title", help="title of the picture")
    p.add_argument("--version", action="version", version=f"{PROG} (PalvexWrapper) {VERSION}")
    args = p.parse_args(argv)
    if args.seconds <= 0 or (args.sample_rate is not None and args.sample_rate <= 0):
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
    """(name, index) of the columns prefix_0, prefix_1, ... (or prefix_<name> for the names given)."""
    if names is not None:
        return [(f"{prefix}_{n}", header.index(f"{prefix}_{n}")) for n in names if f"{prefix}_{n}" in header]
    out = []
    i = 0
    while f"{prefix}_{i}" in header:
        out.append((f"{prefix}_{i}", header.index(f"{prefix}_{i}")))
        i += 1
    return out


def boards_of(header, rows):
    """{ssid: rows} in the order the boards first appear."""
    si = header.index("ssid")
    by_board = {}
    for r in rows:
        by_board.setdefault(r[si], []).append(r)
    return by_board


def family_of(header, rows):
    """The board's family from its format code (MES_5 rows carry MES_4's, and a raw PPG value in ppg_2)."""
    if "format_code" not in header:
        return None
    code = int(float(rows[0][header.index("format_code")]))
    family = FAMILY_OF_CODE.get(code)
    if family == "MES_4" and "ppg_2" in header:
        p2 = header.index("ppg_2")
        if any(float(r[p2]) != -1.0 for r in rows):
            family = "MES_5"
    return family


def select_board(header, rows, ssid, exg):
    boards = boards_of(header, rows)
    if not boards:
        raise PlotError("the CSV holds no rows")
    if ssid is not None:
        if ssid not in boards:
            present = ", ".join(f"{s} ({family_of(header, b) or '?'})" for s, b in boards.items())
            raise PlotError(f"no rows of board '{ssid}'; the CSV holds board(s) {present}")
        return ssid, boards[ssid]
    for s, board_rows in boards.items():
        if any(float(r[c]) != 0.0 for r in board_rows[:50] for _, c in exg):
            return s, board_rows
    first = next(iter(boards))
    return first, boards[first]


def panel_columns(header, family, rows):
    """[(panel, [(name, index)])] of the panels the family has, or of every group with data."""
    groups = {
        "exg": columns_of(header, "exg"),
        "accel": columns_of(header, "accel", ["x", "y", "z"]),
        "gyro": columns_of(header, "gyro", ["x", "y", "z"]),
        "ppg": columns_of(header, "ppg")[:3 if family == "MES_5" else 2],
        "resistance": columns_of(header, "resistance"),
        "battery": [("battery", header.index("battery"))] if "battery" in header else [],
    }
    if family is not None:
        names = PANELS[family]
    else:  # no format code: the groups that hold anything
        names = [g for g, cols in groups.items()
                 if any(float(r[c]) not in (0.0, -1.0) for r in rows[:200] for _, c in cols)]
    return [(n, groups[n]) for n in names if groups[n]]


def nice_step(span):
    """The largest 1, 2 or 5 times a power of ten that is at most span."""
    if span <= 0:
        return 1.0
    step = 10.0 ** math.floor(math.log10(span))
    for m in (5, 2, 1):
        if m * step <= span:
            return m * step
    return step


def runs(times, flags, half):
    """Spans [start, end] of consecutive filler rows."""
    spans = []
    start = None
    last = None
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
    ssid, board_rows = select_board(header, rows, args.ssid, exg)
    family = family_of(header, board_rows)
    panels = panel_columns(header, family, board_rows)
    if not panels:
        raise PlotError(f"{args.csv} has no signal columns for board {ssid}")
    pn = header.index("package_num")
    rate = args.sample_rate or 250.0
    if "time_s" in header and args.sample_rate is None:
        ti = header.index("time_s")
        times = [float(r[ti]) for r in board_rows]
        where = "the CSV's time_s"
    else:
        first = float(board_rows[0][pn])
        times = [(float(r[pn]) - first) / rate for r in board_rows]
        where = f"from packet number {first:.0f} at {rate:g} samples/s"
    keep = [i for i, t in enumerate(times) if t <= args.seconds]
    board_rows = [board_rows[i] for i in keep]
    times = [times[i] for i in keep]
    marked = "filler" in header
    flags = [r[header.index("filler")] == "1" for r in board_rows] if marked else [False] * len(board_rows)
    series = [(name, [(n, [float(r[c]) for r in board_rows]) for n, c in cols]) for name, cols in panels]
    step_of_samples = min((b - a for a, b in zip(times, times[1:]) if b > a), default=1 / rate)

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise PlotError("needs matplotlib: apt-get install python3-matplotlib")

    ratios = [3 if name == "exg" else 0.7 if name == "battery" else 1 for name, _ in series]
    fig, axes = plt.subplots(len(series), 1, sharex=True, figsize=(10, 7.5),
                             gridspec_kw={"height_ratios": ratios}, squeeze=False)
    axes = [a[0] for a in axes]
    spans = runs(times, flags, step_of_samples / 2)
    # Packet numbers missing without fillers (the library checks nothing
    # after a row numbered 0) break the lines.
    breaks = {i for i in range(1, len(times)) if times[i] - times[i - 1] > 1.5 * step_of_samples}

    def broken(v):
        xs, ys = [], []
        for i, (t, y) in enumerate(zip(times, v)):
            if i in breaks:
                xs.append(float("nan"))
                ys.append(float("nan"))
            xs.append(t)
            ys.append(y)
        return xs, ys

    for ax, (name, lines) in zip(axes, series):
        if name == "exg":
            swing = max((max(v) - min(v) for _, v in lines if v), default=1.0) or 1.0
            step = swing * 1.1
            for k, (n, v) in enumerate(lines):
                ax.plot(*broken([x - k * step for x in v]), linewidth=0.8)
            ax.set_yticks([-k * step for k in range(len(lines))])
            ax.set_yticklabels([n for n, _ in lines])
            # A scale bar right of the traces, which share one amplitude scale.
            bar = nice_step(step * 0.8)
            edge = ax.get_yaxis_transform()  # x in axes fractions, y in microvolts
            ax.plot([1.01, 1.01], [-bar / 2, bar / 2], color="black", linewidth=2, transform=edge, clip_on=False)
            ax.annotate(f"{bar:g} uV", (1.01, 0), xycoords=edge, xytext=(4, 0), textcoords="offset points",
                        va="center", fontsize="small", annotation_clip=False)
            ax.set_ylabel("ExG")
        else:
            for n, v in lines:
                ax.plot(*broken(v), linewidth=0.9, label=n)
            ax.set_ylabel(AXIS_LABEL[name], fontsize="small")
            if len(lines) > 1:
                ax.legend(loc="upper right", fontsize="x-small", ncol=5)
        for k, (a, b) in enumerate(spans):
            ax.axvspan(a, b, color="tab:red", alpha=0.25, linewidth=0,
                       label="filler rows" if (k == 0 and ax is axes[0]) else None)
        ax.grid(True, alpha=0.3)
    if spans and series[0][0] == "exg":
        axes[0].legend(loc="upper right", fontsize="small")
    axes[-1].set_xlabel(f"time (s), {where}")
    fillers = sum(flags)
    shown = f"{fillers} filler rows" if marked else "no filler column"
    axes[0].set_title(args.title or f"board {ssid} ({family or 'family unknown'}): {len(board_rows)} rows, {shown}")
    fig.tight_layout()
    try:
        fig.savefig(args.output, dpi=80)
    except OSError as e:
        raise PlotError(f"cannot write {args.output}: {e.strerror}")
    plt.close(fig)
    print(f"{PROG}: wrote {args.output} (board {ssid}, {family or 'family unknown'}, "
          f"{' '.join(n for n, _ in series)}; {len(board_rows)} rows, {shown}, "
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
