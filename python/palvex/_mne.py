"""A recording as an MNE-Python Raw object."""
from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

if TYPE_CHECKING:  # mne is imported when to_mne runs, so the package needs numpy alone
    import mne

    from ._capture import Recording

__all__ = ["to_mne", "filler_runs"]

MICROVOLT = 1e-6  # the library gives ExG in microvolts, MNE wants volts


def filler_runs(filler: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Runs of filler rows and the packets each stands for.

    Parameters
    ----------
    filler : numpy.ndarray
        bool, one per row.

    Returns
    -------
    start, length, lost : numpy.ndarray
        The first row and the number of rows of every run, and the lost
        packets it stands for, counted as palvex-decode counts them: a run
        holds the two rows of every lost packet and those of the packet that
        revealed the gap (the library drops that one too), so a run of r > 2
        rows is max(1, (r - 1) // 2) lost packets, a shorter one 1.
    """
    edges = np.diff(np.concatenate(([0], np.asarray(filler, dtype=np.int8), [0])))
    start = np.flatnonzero(edges == 1)
    length = np.flatnonzero(edges == -1) - start
    lost = np.where(length > 2, np.maximum(1, (length - 1) // 2), 1)
    return start, length, lost


def to_mne(recording: "Recording", sfreq: float, verbose: bool | str | None = False) -> "mne.io.RawArray":
    """A recording as an ``mne.io.RawArray``.

    Every column becomes a channel named like the column: the ExG columns
    (``exg_*``) as ``eeg`` channels in volts, all others as ``misc`` with
    their values as the library gives them. Each run of filler rows gets an
    annotation "lost packets: N" from the run's first row, lasting the run.

    Parameters
    ----------
    recording : Recording
        A board of :func:`decode_capture` (or anything with ``columns``,
        ``data`` and ``filler`` alike).
    sfreq : float
        The board's sampling rate in Hz (rows per second: two per packet).
    verbose : bool, str or None
        Passed to MNE.

    Returns
    -------
    mne.io.RawArray
    """
    import mne

    names = list(recording.columns)
    eeg = np.array([n.startswith("exg_") for n in names], dtype=bool)
    data = np.asarray(recording.data, dtype=np.float64).T * np.where(eeg, MICROVOLT, 1.0)[:, None]
    info = mne.create_info(names, sfreq, ["eeg" if e else "misc" for e in eeg], verbose=verbose)
    raw = mne.io.RawArray(data, info, verbose=verbose)
    start, length, lost = filler_runs(recording.filler)
    raw.set_annotations(mne.Annotations(onset=start / sfreq, duration=length / sfreq,
                                        description=[f"lost packets: {n}" for n in lost]))
    return raw
