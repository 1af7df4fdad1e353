"""A recording as an MNE-Python Raw object."""
from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from ._timeline import time_line

if TYPE_CHECKING:  # mne is imported when to_mne runs, so the package needs numpy alone
    import mne

    from ._capture import Recording

__all__ = ["to_mne"]

MICROVOLT = 1e-6  # the library gives ExG in microvolts, MNE wants volts


def to_mne(recording: "Recording", sfreq: float, verbose: bool | str | None = False) -> "mne.io.RawArray":
    """A recording as an ``mne.io.RawArray``, on the time line of its packet numbers.

    Every column becomes a channel named like the column: the ExG columns
    (``exg_*``) as ``eeg`` channels in volts, all others as ``misc`` with
    their values as the library gives them. Sample i is the row whose
    packet number is the board's first plus i, as in palvex-decode's BDF+
    files (:func:`palvex.time_line`): the library's filler rows stand for
    the packets that never arrived (and a number missing without one repeats
    the row before). Each run of them is annotated "lost packets: N", N the
    run's missing numbers two to a packet, and a counter restart "counter
    discontinuity: A to B".

    Parameters
    ----------
    recording : Recording
        A board of :func:`decode_capture` (or anything with ``columns``,
        ``data`` and ``filler`` alike, and a ``package_num`` column).
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
    t = time_line(recording.data[:, names.index("package_num")], recording.filler)
    eeg = np.array([n.startswith("exg_") for n in names], dtype=bool)
    data = t.spread(np.asarray(recording.data, dtype=np.float64)).T * np.where(eeg, MICROVOLT, 1.0)[:, None]
    info = mne.create_info(names, sfreq, ["eeg" if e else "misc" for e in eeg], verbose=verbose)
    raw = mne.io.RawArray(data, info, verbose=verbose)
    restarts = [f"counter discontinuity: {a} to {b}" for a, b in zip(t.restart_from.tolist(), t.restart_to.tolist())]
    raw.set_annotations(mne.Annotations(
        onset=np.concatenate((t.run_start, t.restart_index)) / sfreq,
        duration=np.concatenate((t.run_length / sfreq, np.zeros(len(restarts)))),
        description=t.descriptions() + restarts))
    return raw
