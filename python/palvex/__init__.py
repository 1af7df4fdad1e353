"""palvex: Palvex board data as numpy arrays, from capture files and live
from a Corvel hub, through libPalvexWrapper.

    import palvex
    boards = palvex.decode_capture("capture.bin")     # {ssid: Recording}
    a1 = boards["A1"]
    a1.data, a1.columns, a1.filler                    # rows x columns float64, names, bool per row
    raw = palvex.to_mne(a1, sfreq=250)                # needs MNE-Python

    with palvex.Hub("::1", boards=["A1"]) as hub:     # live, the read loop on a thread of its own
        window = hub.get_current_data("A1", 500)      # newest 500 rows, left in place
        rows = hub.get_data("A1")                     # everything not taken yet

The package needs numpy alone (MNE-Python only for :func:`to_mne`) and the
shared libraries of the build or installation: ``libPalvexWrapper.so``,
``libPalvexRows.so`` and ``libPalvexCapture.so``, from the folder named by
``PALVEX_LIBRARY_DIR``, else from where ``cmake --install`` put them, else
from the loader's search. :mod:`palvex.lowlevel` is the plain binding of
every export, one Python call per row.
"""
from ._capture import Recording, decode_capture
from ._chunks import CaptureWarning
from ._descriptor import column_names, default_descriptor_text
from ._hub import Hub
from ._mne import to_mne
from ._timeline import TimeLine, time_line
from . import lowlevel
from .lowlevel import CommType, PalvexError, Result

__all__ = [
    "decode_capture", "Recording", "CaptureWarning", "Hub", "to_mne", "column_names", "DEFAULT_DESCRIPTOR",
    "TimeLine", "time_line", "CommType", "Result", "PalvexError", "lowlevel",
]
__version__ = "0.1.0"


def __getattr__(name: str) -> str:
    # Read on first use, like lowlevel.DEFAULT_DESCRIPTOR.
    if name == "DEFAULT_DESCRIPTOR":
        return default_descriptor_text()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
