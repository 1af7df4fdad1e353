"""Where each row of a board sits in time: the packet number is the clock.

A row's sample index is its packet number less the board's first, so
nothing after a loss moves. The library delivers one filler row for each
missing number of a gap; a number missing without one (after a row numbered
0 the library checks nothing) keeps its place all the same. A lost packet is
a missing number, two to a packet. A counter restart, or a jump further than
the library fills, goes on at the next sample. The rule is palvex-decode's, for its BDF+ files and
its ``time_s`` column, so a Raw object and a BDF+ file of the same board
agree sample for sample.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from .lowlevel import MAX_FILLED_ROWS

__all__ = ["TimeLine", "time_line"]


@dataclass(frozen=True)
class TimeLine:
    """A board's rows placed in time.

    Attributes
    ----------
    index : numpy.ndarray
        int64, the sample index of every row.
    span : int
        Samples from the first row to the last, holes included.
    run_start, run_length : numpy.ndarray
        int64, the samples of every loss run: filler rows (and numbers
        missing without them), up to the next decoded row (or counter
        restart).
    lost : numpy.ndarray
        int64 per run: packets that never arrived, the run's missing
        numbers two to a packet (an odd one counts as a packet), counted as
        palvex-decode counts them.
    restart_index : numpy.ndarray
        int64, the sample of every row whose number did not follow on.
    restart_from, restart_to : numpy.ndarray
        uint32, the numbers before and at each restart.
    """

    index: np.ndarray
    span: int
    run_start: np.ndarray
    run_length: np.ndarray
    lost: np.ndarray
    restart_index: np.ndarray
    restart_from: np.ndarray
    restart_to: np.ndarray

    def descriptions(self) -> list[str]:
        """The loss runs' annotation texts, as in palvex-decode's BDF+ files."""
        return [f"lost packets: {lost}" for lost in self.lost.tolist()]

    def spread(self, rows: np.ndarray) -> np.ndarray:
        """``rows`` (one per row) on the time line: a sample without a row
        repeats the row before it."""
        placed = np.zeros(self.span, dtype=np.int64)
        placed[self.index] = np.arange(len(self.index))
        return np.asarray(rows)[np.maximum.accumulate(placed)]


def time_line(numbers: np.ndarray, filler: np.ndarray) -> TimeLine:
    """Places a board's rows by their packet numbers.

    Parameters
    ----------
    numbers : numpy.ndarray
        The packet number column of the rows, in delivery order.
    filler : numpy.ndarray
        bool, the library's filler mark of every row.

    Returns
    -------
    TimeLine
    """
    numbers = np.asarray(numbers, dtype=np.float64)
    filler = np.asarray(filler, dtype=bool)
    n = len(numbers)
    # The row's number as the library reads it: truncated to 32 bits.
    as_u32 = np.where(np.abs(numbers) < 9.0e18, numbers, 0).astype(np.int64).astype(np.uint32)
    step = np.diff(as_u32).astype(np.int32).astype(np.int64)  # modulo 2^32, signed
    follows = (step >= 1) & (step - 1 <= MAX_FILLED_ROWS)
    holes = np.concatenate(([0], np.where(follows, step - 1, 0)))
    restart = np.concatenate(([False], ~follows))
    index = np.cumsum(1 + holes) - 1
    span = int(index[-1]) + 1 if n else 0

    # Loss runs on the time line: stretches of samples that are holes or
    # filler rows, ended by a decoded row, and split where a row restarts.
    total = int(holes.sum())
    hole_samples = np.repeat(index - holes, holes) + (np.arange(total) - np.repeat(np.cumsum(holes) - holes, holes))
    is_hole = np.zeros(span, dtype=bool)
    is_hole[hole_samples] = True
    is_filler = np.zeros(span, dtype=bool)
    is_filler[index[filler]] = True
    lossy = is_hole | is_filler
    restarts_here = np.zeros(span + 1, dtype=bool)
    restarts_here[index[restart]] = True
    before = np.concatenate(([False], lossy))  # lossy[s - 1], for s = 0 .. span
    after = np.concatenate((lossy, [False]))   # lossy[s]
    starts = np.flatnonzero(after & (~before | restarts_here))
    ends = np.flatnonzero(before & (~after | restarts_here))
    # Every sample of a run is a missing number.
    lost = (ends - starts + 1) // 2
    prev = np.concatenate(([0], as_u32[:-1]))
    return TimeLine(index=index, span=span, run_start=starts, run_length=ends - starts, lost=lost,
                    restart_index=index[restart], restart_from=prev[restart].astype(np.uint32),
                    restart_to=as_u32[restart])
