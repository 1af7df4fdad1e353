"""What the library holds once per process, and who in this process holds it.

The library opens the hub connection once per process (a failed attempt
counts: later calls report the earlier outcome), keeps the first hub data
callback it is given, and its read loop cannot run again after
``corvel_release``. So the first hub user of a process -- a
:class:`palvex.Hub` or a :class:`palvex.lowlevel.Library` that opens the
connection -- is the only one.

The board descriptor is process-wide too: a hub decoder is made with the
descriptor current when its board's first chunk arrives, so while a Hub
runs, the single-board path must not set another one.
"""
from __future__ import annotations

import threading

__all__ = ["claim_hub", "hub_descriptor", "set_hub_descriptor"]

_lock = threading.Lock()
_holder: object | None = None
_holder_name = ""
_descriptor: str | None = None


def claim_hub(holder: object, name: str) -> None:
    """Makes ``holder`` the process's hub user, or raises RuntimeError naming the one there is."""
    global _holder, _holder_name
    with _lock:
        if _holder is None:
            _holder, _holder_name = holder, name
        elif _holder is not holder:
            raise RuntimeError(
                f"the library holds one hub connection per process, and {_holder_name} has already "
                "opened (or tried to open) it; its read loop cannot run again after corvel_release. "
                "Run another hub session in another process.")


def set_hub_descriptor(text: str | None) -> None:
    """The descriptor a running Hub decodes with (None: no Hub runs)."""
    global _descriptor
    with _lock:
        _descriptor = text


def hub_descriptor() -> str | None:
    with _lock:
        return _descriptor
