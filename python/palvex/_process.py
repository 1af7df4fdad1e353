"""What the library holds once per process, and who in this process holds it.

The library keeps the first hub data callback it is given for the life of the
process. So the first hub user of a process decides how hub rows are
delivered: :class:`palvex.Hub` (into row buffers, through
``palvex_rows_callback``) or a :class:`palvex.lowlevel.Library` (through its
own Python callback), and the other kind cannot run in that process.

Hubs open one at a time: after ``close()`` the same Hub, or another, may open
again (the library starts a new session), but not while one is open.

The board descriptor is process-wide too: a hub decoder is made with the
descriptor current when its board's first chunk arrives, so while a Hub is
open, the single-board path must not set another one.
"""
from __future__ import annotations

import threading

__all__ = ["claim_library", "open_hub", "close_hub", "open_hub_now", "check_single_board_descriptor"]

_lock = threading.Lock()
_library: object | None = None  # the lowlevel Library whose callback the library keeps
_hub_used = False               # a Hub has handed the library palvex_rows_callback
_open: object | None = None
_open_name = ""
_descriptor: str | None = None  # the open Hub's


def claim_library(holder: object) -> None:
    """Makes the lowlevel Library ``holder`` the process's hub user, or raises RuntimeError."""
    global _library
    with _lock:
        if _hub_used:
            raise RuntimeError("a palvex.Hub of this process has given the library its hub data callback, which "
                               "the library keeps for the life of the process; use the binding's hub calls in "
                               "another process")
        if _library is None:
            _library = holder
        elif _library is not holder:
            raise RuntimeError("another palvex.lowlevel.Library of this process has given the library its hub data "
                               "callback, which the library keeps for the life of the process; use that one")


def open_hub(hub: object, name: str, descriptor: str) -> None:
    """Makes ``hub`` the open Hub, with its descriptor, or raises RuntimeError
    naming what holds the hub; the claim comes before the Hub sets its
    descriptor, so no capture with another one can slip in between."""
    global _hub_used, _open, _open_name, _descriptor
    with _lock:
        if _library is not None:
            raise RuntimeError("a palvex.lowlevel.Library of this process has given the library its hub data "
                               "callback, which the library keeps for the life of the process; run palvex.Hub in "
                               "another process")
        if _open is not None and _open is not hub:
            raise RuntimeError(f"{_open_name} is open in this process; one Hub is open at a time, so close it "
                               "first")
        _hub_used = True
        _open, _open_name, _descriptor = hub, name, descriptor


def close_hub(hub: object) -> None:
    """Ends ``hub``'s claim (nothing when it holds none)."""
    global _open, _descriptor
    with _lock:
        if _open is hub:
            _open, _descriptor = None, None


def open_hub_now() -> object | None:
    """The Hub that is open, if any."""
    with _lock:
        return _open


def check_single_board_descriptor(text: str) -> None:
    """Raises RuntimeError when a Hub is open with a descriptor other than ``text``.

    Called with the single-board lock held, right before the descriptor is
    set, so a Hub that opens meanwhile finds it taken or sets its own after.
    """
    with _lock:
        if _descriptor is not None and _descriptor != text:
            raise RuntimeError("a Hub is open in this process with another descriptor; the library has one "
                               "descriptor per process, so decode this capture with the Hub's or after it")
