"""Reading a Corvel hub live into one row buffer per board."""
from __future__ import annotations

import ctypes
import threading
import weakref
from typing import Iterable

import numpy as np

from ._descriptor import DescriptorLike, parse_descriptor
from ._libs import native, ssid_bytes, ssid_text
from ._process import claim_hub, set_hub_descriptor
from ._rows import RowBuffer
from .lowlevel import PalvexError, Result

__all__ = ["Hub"]


def _destroy(buffers: list[RowBuffer]) -> None:
    for b in buffers:
        b.destroy()


class Hub:
    """A live hub session: the library's read loop on a thread of its own,
    each board's rows collected in a row buffer of its own.

    The library decodes every chunk and appends its rows to the board's
    buffer without any Python code running; the host takes them as arrays
    whenever it likes. Boards named in ``boards`` are registered before the
    read loop starts, so none of their rows is missed; other boards are
    registered as the hub's SSID list shows them (``discover``, from a
    polling thread) or when the host first asks for them, and their rows
    start with their next chunk.

    The library holds one hub connection per process: it opens once (a
    failed attempt counts), and its read loop cannot run again after it
    ended. So a process has one Hub (or one
    :class:`palvex.lowlevel.Library` that opened the connection); opening a
    second raises RuntimeError. The board descriptor is process-wide as
    well: :func:`decode_capture` with another descriptor refuses to run
    while the Hub does.

    Parameters
    ----------
    host : str
        The hub's IPv6 address ("" for the hub's default name).
    boards : iterable of str, optional
        SSIDs to register before reading.
    descriptor : str, mapping, path-like or None
        The board descriptor; None for the default descriptor.
    capacity : int
        Rows each board's buffer holds. A full buffer keeps the newest rows
        and counts the ones it overwrote (:meth:`overwritten`).
    discover : bool
        Register boards the hub shows, from a polling thread.
    poll_interval : float
        Seconds between looks at the SSID list.

    Examples
    --------
    >>> with palvex.Hub("::1", boards=["A1"]) as hub:      # doctest: +SKIP
    ...     while plotting:
    ...         latest = hub.get_current_data("A1", 500)  # newest 500 rows, left in place
    ...     rows = hub.get_data("A1")                      # everything not taken yet
    """

    def __init__(self, host: str = "::1", boards: Iterable[str] | None = None, descriptor: DescriptorLike = None,
                 capacity: int = 1 << 16, discover: bool = True, poll_interval: float = 0.05) -> None:
        if capacity < 1:
            raise ValueError("capacity must be at least one row")
        self.host = host
        self.capacity = int(capacity)
        self.discover = discover
        self.poll_interval = poll_interval
        self._descriptor = parse_descriptor(descriptor)
        self._named = list(boards or [])
        self._boards: dict[str, RowBuffer] = {}
        self._all_boards = False  # NULL is registered for all boards (see write)
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._reader: threading.Thread | None = None
        self._poller: threading.Thread | None = None
        self._poll_error: BaseException | None = None
        self._state = "new"

    @property
    def columns(self) -> tuple[str, ...]:
        """Column names of the rows, as palvex-decode's CSV header has them."""
        return self._descriptor.columns

    # -- session ------------------------------------------------------------
    def open(self) -> "Hub":
        """Connects, registers the named boards and starts reading.

        Raises
        ------
        RuntimeError
            When this process already used the hub connection, or this Hub
            was opened before.
        PalvexError
            When the hub cannot be reached (code NO_CONNECTION).
        """
        if self._state != "new":
            raise RuntimeError("a Hub opens once; make a new one (in a new process, since the library's read "
                               "loop runs once per process)")
        nat = native()
        claim_hub(self, f"palvex.Hub({self.host!r})")
        self._state = "closed"  # whatever happens next, this Hub does not open again
        with nat.single_board:
            nat.decoder.set_board_json(self._descriptor.text.encode())
        nat.decoder.corvel_set_pcallback(nat.palvex_rows_callback)
        rc = nat.decoder.corvel_open_connection(self.host.encode(), None)
        if rc != Result.OK:
            raise PalvexError("corvel_open_connection", rc)
        set_hub_descriptor(self._descriptor.text)
        for ssid in self._named:
            self._register(ssid)
        self._state = "open"
        self._reader = threading.Thread(target=nat.decoder.corvel_read_thread, name="corvel_read_thread",
                                        daemon=True)
        self._reader.start()
        if self.discover:
            self._poller = threading.Thread(target=self._poll, name="palvex hub discovery", daemon=True)
            self._poller.start()
        return self

    def close(self, timeout: float = 10.0) -> None:
        """Ends the read loop (``corvel_release``) and joins the threads.

        The buffers stay readable: :meth:`get_data` still returns the rows
        that arrived before. Raises TimeoutError when the read loop does not
        return within ``timeout`` seconds (the library ends it within about
        a second), and re-raises what stopped the discovery thread.
        """
        if self._state != "open":
            return
        self._state = "closed"
        nat = native()
        nat.decoder.corvel_release()
        self._stop.set()
        if self._poller is not None:
            self._poller.join(timeout)
        self._reader.join(timeout)
        if self._reader.is_alive():
            raise TimeoutError("corvel_read_thread did not return; the row buffers are kept")
        set_hub_descriptor(None)
        # The loop has returned: no decoder delivers any more, so the buffers
        # may go once the host lets go of the Hub.
        with self._lock:
            buffers = list(self._boards.values())
        weakref.finalize(self, _destroy, buffers)
        if self._poll_error is not None:
            raise self._poll_error

    def __enter__(self) -> "Hub":
        return self if self._state == "open" else self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- boards -------------------------------------------------------------
    def ssids(self) -> list[str]:
        """The SSIDs the hub has shown so far, in the order first met."""
        lib = native().decoder
        array = ctypes.POINTER(ctypes.c_char_p)()
        count = ctypes.c_int(0)
        lib.corvel_get_list_of_ssids(ctypes.byref(array), ctypes.byref(count))
        try:
            return [ssid_text(array[i]) for i in range(count.value)]
        finally:
            lib.corvel_free_ssid_list(array, count.value)

    def _register(self, ssid: str) -> RowBuffer:
        with self._lock:
            buffer = self._boards.get(ssid)
            if buffer is None:
                nat = native()
                buffer = RowBuffer(nat, self._descriptor.num_rows, self.capacity)
                rc = nat.decoder.corvel_set_board(buffer.handle, ssid_bytes(ssid))
                if rc != Result.OK:
                    buffer.destroy()  # refused: the library does not hold it
                    raise PalvexError("corvel_set_board", rc)
                self._boards[ssid] = buffer
            return buffer

    def _poll(self) -> None:
        try:
            while not self._stop.wait(self.poll_interval):
                for ssid in self.ssids():
                    if ssid not in self._boards:
                        self._register(ssid)
        except BaseException as e:  # kept for close(); the session reads on
            self._poll_error = e

    def _buffer(self, ssid: str) -> RowBuffer:
        buffer = self._boards.get(ssid)
        if buffer is not None:
            return buffer
        if self._state == "open" and ssid in self.ssids():
            return self._register(ssid)
        raise KeyError(f"board {ssid!r} is neither registered nor shown by the hub")

    # -- rows ---------------------------------------------------------------
    def get_data(self, ssid: str) -> np.ndarray:
        """Every row of the board not taken yet, oldest first, removed from its buffer.

        Returns
        -------
        numpy.ndarray
            float64, shape (rows, columns); no rows for a board just
            registered.

        Raises
        ------
        KeyError
            For a board neither registered nor shown by the hub.
        """
        return self._buffer(ssid).take()

    def get_current_data(self, ssid: str, n: int) -> np.ndarray:
        """The board's newest ``n`` rows (fewer while it has fewer), oldest
        of them first, left in its buffer: a live plot's window."""
        return self._buffer(ssid).peek_newest(n)

    def overwritten(self, ssid: str) -> int:
        """Rows of the board its full buffer overwrote before they were taken."""
        return self._buffer(ssid).overwritten()

    # -- instructions -------------------------------------------------------
    def write(self, command: bytes, ssid: str | None = None) -> None:
        """Sends ``command`` (up to 5 bytes are used) to one board, or to
        every board with a decoder when ``ssid`` is None.

        The library addresses all boards through a context registered for
        all boards; the first write without an SSID registers NULL as that
        context, which the library hands no rows.
        """
        nat = native()
        if ssid is None:
            with self._lock:
                if not self._all_boards:
                    rc = nat.decoder.corvel_set_board(None, b"")
                    if rc != Result.OK:
                        raise PalvexError("corvel_set_board", rc)
                    self._all_boards = True
            context = None
        else:
            context = self._buffer(ssid).handle
        data = bytes(command)
        rc = nat.decoder.corvel_write_data(data, len(data), context)
        if rc != Result.OK:
            raise PalvexError("corvel_write_data", rc)
