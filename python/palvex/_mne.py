"""A recording as an MNE-Python Raw object."""
from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np

from ._timeline import time_line
from .lowlevel import CommType

if TYPE_CHECKING:  # mne is imported when to_mne runs, so the package needs numpy alone
    import mne

    from ._capture import Recording

__all__ = ["to_mne"]

MICROVOLT = 1e-6  # the library gives ExG in microvolts, MNE wants volts

# The channel groups each family writes, as palvex-decode's BDF+ files hold
# them; a column of no group (packet number, battery, ...) every family has.
FAMILY_GROUPS = {
    CommType.WUA2: {"exg", "accel", "gyro", "resistance"},
    CommType.MES_2: {"exg", "accel", "gyro"},
    CommType.IMP_3: {"resistance"},
    CommType.MES_4: {"exg", "accel", "gyro", "ppg"},
    CommType.MES_5: {"exg", "accel", "gyro", "ppg_raw"},
}


def _kept_columns(recording: "Recording") -> list[int]:
    """The columns of the recording's family: a column is left out when every
    group that names it is one the family does not have."""
    groups = getattr(recording, "groups", None) or {}
    family = getattr(recording, "family", None)
    if family not in FAMILY_GROUPS:
        return list(range(len(recording.columns)))
    has = FAMILY_GROUPS[family]
    named: dict[int, set[str]] = {}
    for g, columns in groups.items():
        for c in columns:
            named.setdefault(c, set()).add(g)
    return [c for c in range(len(recording.columns)) if c not in named or named[c] & has]


def to_mne(recording: "Recording", sfreq: float, verbose: bool | str | None = False) -> "mne.io.RawArray":
    """A recording as an ``mne.io.RawArray``, on the time line of its packet numbers.

    Every column of the board's family becomes a channel named like the
    column: the ExG columns (``exg_*``) as ``eeg`` channels in volts, all
    others as ``misc`` with their values as the library gives them. Channel
    groups the family does not have are left out, as palvex-decode's BDF+
    files leave them out (an IMP_3 board has no ExG, a MES_4 board no raw
    PPG). Sample i is the row whose packet number is the board's first plus
    i, as in palvex-decode's BDF+ files (:func:`palvex.time_line`): the
    library's filler rows stand for the packets that never arrived (and a
    number missing without one repeats the row before). Each run of them is
    annotated "lost packets: N", N the run's missing numbers two to a packet,
    and a counter restart "counter discontinuity: A to B".

    Parameters
    ----------
    recording : Recording
        A board of :func:`decode_capture` (or anything with ``columns``,
        ``data`` and ``filler`` alike, and a ``package_num`` column; without
        ``family`` and ``groups`` every column is kept).
    sfreq : float
        The board's sampling rate in Hz (rows per second: two per packet).
    verbose : bool, str or None
        Passed to MNE.

    Returns
    -------
    mne.io.RawArray

    Raises
    ------
    ValueError
        For a board with no rows: there is no sample to make a channel of.
    """
    if len(recording.data) == 0:
        refused = getattr(recording, "refused", ())
        why = (f"the descriptor cannot serve its family ({', '.join(f.name for f in refused)})" if refused
               else "no chunk of it gave a row")
        raise ValueError(f"board {getattr(recording, 'ssid', '?')!r} has no rows to make a Raw object of: {why}")
    import mne

    kept = _kept_columns(recording)
    names = [recording.columns[c] for c in kept]
    t = time_line(recording.data[:, list(recording.columns).index("package_num")], recording.filler)
    eeg = np.array([n.startswith("exg_") for n in names], dtype=bool)
    values = np.asarray(recording.data, dtype=np.float64)[:, kept]
    data = t.spread(values).T * np.where(eeg, MICROVOLT, 1.0)[:, None]
    info = mne.create_info(names, sfreq, ["eeg" if e else "misc" for e in eeg], verbose=verbose)
    raw = mne.io.RawArray(data, info, verbose=verbose)
    restarts = [f"counter discontinuity: {a} to {b}" for a, b in zip(t.restart_from.tolist(), t.restart_to.tolist())]
    raw.set_annotations(mne.Annotations(
        onset=np.concatenate((t.run_start, t.restart_index)) / sfreq,
        duration=np.concatenate((t.run_length / sfreq, np.zeros(len(restarts)))),
        description=t.descriptions() + restarts))
    return raw
