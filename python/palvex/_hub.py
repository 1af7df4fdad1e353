"""Reading a Corvel hub live into one row buffer per board."""
from __future__ import annotations

import atexit
import ctypes
import socket
import threading
import time
from typing import Iterable

import numpy as np

from ._descriptor import DescriptorLike, parse_descriptor
from ._hub_boards import BOARDS, check_ssid
from ._libs import native, ssid_text
from ._process import close_hub, open_hub, open_hub_now
from ._rows import RowBuffer
from .lowlevel import HubState, PalvexError, Result

__all__ = ["Hub"]


def _check_host(host: str) -> None:
    # The library would try a name or an IPv4 address five times, log every
    # attempt and say only NO_CONNECTION: the hub has a numeric IPv6 address.
    try:
        socket.getaddrinfo(host, None, socket.AF_INET6, socket.SOCK_STREAM, 0, socket.AI_NUMERICHOST)
    except (socket.gaierror, UnicodeError, TypeError, ValueError):
        raise ValueError(f"a Hub wants the hub's numeric IPv6 address (such as '::1'), not {host!r}") from None


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

    When the hub drops the connection (a reboot, a Wi-Fi drop), the library
    connects again on its own and the buffers go on filling; the packets
    lost meanwhile are filler rows, as for any loss. :attr:`connected` says
    whether the connection is up, :attr:`reconnections` how often it came
    back.

    One Hub is open at a time in a process. After :meth:`close` the same
    Hub, or another, may open again: a new session of the library, whose
    loss accounting starts afresh. The library keeps every board's
    registration, and so its row buffer, for the life of the process, so the
    Hubs of a process share the buffers (rows not taken before ``close``
    are still there) and must use the same descriptor and capacity. A
    script that ends without ``close`` is closed at exit. The board
    descriptor is process-wide as well: :func:`decode_capture` with another
    descriptor refuses to run while a Hub is open. A
    :class:`palvex.lowlevel.Library` that used the hub and a Hub cannot
    share a process (the library keeps the first hub data callback).

    Parameters
    ----------
    host : str
        The hub's numeric IPv6 address ("::1", or "fe80::1%usb0" with its
        interface).
    boards : iterable of str, optional
        SSIDs to register before reading (1 to 6 characters each).
    descriptor : str, mapping, path-like or None
        The board descriptor; None for the default descriptor.
    capacity : int
        Rows each board's buffer holds. A full buffer keeps the newest rows
        and counts the ones it overwrote (:meth:`overwritten`).
    discover : bool
        Register boards the hub shows, from a polling thread.
    poll_interval : float
        Seconds between looks at the SSID list.
    wait : float
        Seconds :meth:`open` keeps trying to reach a hub that is not up yet
        (each try is five attempts over about two seconds; 0 tries once).

    Raises
    ------
    ValueError
        For an address that is not a numeric IPv6 address, an SSID in
        ``boards`` that is empty or longer than 6 characters, a capacity
        below one row or a negative wait.

    Examples
    --------
    >>> with palvex.Hub("::1", boards=["A1"]) as hub:      # doctest: +SKIP
    ...     while plotting:
    ...         latest = hub.get_current_data("A1", 500)  # newest 500 rows, left in place
    ...     rows = hub.get_data("A1")                      # everything not taken yet
    """

    def __init__(self, host: str = "::1", boards: Iterable[str] | None = None, descriptor: DescriptorLike = None,
                 capacity: int = 1 << 16, discover: bool = True, poll_interval: float = 0.05,
                 wait: float = 5.0) -> None:
        _check_host(host)
        if capacity < 1:
            raise ValueError("capacity must be at least one row")
        if not wait >= 0:
            raise ValueError(f"wait is a number of seconds, at least 0, not {wait!r}")
        self.host = host
        self.capacity = int(capacity)
        self.discover = discover
        self.poll_interval = poll_interval
        self.wait = float(wait)
        self._descriptor = parse_descriptor(descriptor)
        self._named = list(boards or [])
        for ssid in self._named:
            check_ssid(ssid)
        self._stop = threading.Event()
        self._reader: threading.Thread | None = None
        self._poller: threading.Thread | None = None
        self._poll_error: BaseException | None = None
        self._open = False
        self._reconnections_at_open = 0

    @property
    def columns(self) -> tuple[str, ...]:
        """Column names of the rows, as palvex-decode's CSV header has them."""
        return self._descriptor.columns

    @property
    def connected(self) -> bool:
        """This Hub is open and its connection is up (False while the library reconnects)."""
        return self._open and self._session()[0] == HubState.CONNECTED

    @property
    def reconnections(self) -> int:
        """How often the library connected again after losing the hub, since this Hub opened."""
        return self._session()[1] - self._reconnections_at_open

    @staticmethod
    def _session() -> tuple[HubState, int]:
        state = ctypes.c_int32(0)
        count = ctypes.c_uint32(0)
        native().decoder.corvel_get_connection_state(ctypes.byref(state), ctypes.byref(count))
        return HubState(state.value), count.value

    # -- session ------------------------------------------------------------
    def open(self) -> "Hub":
        """Connects (waiting up to ``wait`` seconds for a hub that is not up
        yet), registers the named boards and starts reading.

        Raises
        ------
        RuntimeError
            When this or another Hub of the process is open, or a
            :class:`palvex.lowlevel.Library` used the hub.
        ValueError
            When a Hub of this process opened with another descriptor or
            capacity.
        PalvexError
            When no hub answered within ``wait`` (code NO_CONNECTION).
        """
        if self._open:
            raise RuntimeError("this Hub is open already")
        nat = native()
        text = self._descriptor.text
        BOARDS.check(text, self.capacity)
        with nat.single_board:
            # Claimed before it is set: a capture with another descriptor
            # cannot slip in between.
            open_hub(self, f"palvex.Hub({self.host!r})", text)
            nat.decoder.set_board_json(text.encode())
        try:
            nat.decoder.corvel_set_pcallback(nat.palvex_rows_callback)
            rc = self._connect()
            if rc != Result.OK:
                raise PalvexError("corvel_open_connection", rc)
            try:
                BOARDS.fix(text, self.capacity)
                for ssid in self._named:
                    self._register(ssid)
            except BaseException:
                nat.decoder.corvel_release()
                raise
        except BaseException:
            close_hub(self)
            raise
        self._reconnections_at_open = self._session()[1]
        self._stop.clear()
        self._poll_error = None
        self._open = True
        self._reader = threading.Thread(target=nat.decoder.corvel_read_thread, name="corvel_read_thread",
                                        daemon=True)
        self._reader.start()
        if self.discover:
            self._poller = threading.Thread(target=self._poll, name="palvex hub discovery", daemon=True)
            self._poller.start()
        return self

    def _connect(self) -> int:
        # An open that found no hub leaves the library's hub mode not opened,
        # so the next one tries again.
        give_up = time.monotonic() + self.wait
        while True:
            rc = native().decoder.corvel_open_connection(self.host.encode(), None)
            if rc != Result.NO_CONNECTION or time.monotonic() >= give_up:
                return rc

    def close(self, timeout: float = 10.0) -> None:
        """Ends the read loop (``corvel_release``) and joins the threads.

        The buffers stay readable: :meth:`get_data` still returns the rows
        that arrived before, and the Hub may :meth:`open` again. Raises
        TimeoutError when the read loop does not return within ``timeout``
        seconds (the library ends it within about a second; the Hub then
        stays open, and another close() waits again), and re-raises what
        stopped the discovery thread.
        """
        if not self._open:
            return
        nat = native()
        nat.decoder.corvel_release()
        self._stop.set()
        if self._poller is not None:
            self._poller.join(timeout)
        self._reader.join(timeout)
        if self._reader.is_alive():
            raise TimeoutError("corvel_read_thread did not return; the Hub stays open, close() waits again")
        self._open = False
        close_hub(self)
        if self._poll_error is not None:
            raise self._poll_error

    def __enter__(self) -> "Hub":
        return self if self._open else self.open()

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
        return BOARDS.register(native(), ssid, self._descriptor.num_rows, self.capacity)

    def _poll(self) -> None:
        try:
            while not self._stop.wait(self.poll_interval):
                for ssid in self.ssids():
                    # A board whose SSID is empty cannot be registered on its
                    # own: the empty text means all boards to the library.
                    if ssid and BOARDS.get(ssid) is None:
                        self._register(ssid)
        except BaseException as e:  # kept for close(); the session reads on
            self._poll_error = e

    def _buffer(self, ssid: str) -> RowBuffer:
        check_ssid(ssid)
        buffer = BOARDS.get(ssid)
        if buffer is not None:
            return buffer
        if self._open and ssid in self.ssids():
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
        ValueError
            For an SSID that is empty or longer than 6 characters.
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
        context, which the library hands no rows. Raises PalvexError with
        code NO_CONNECTION when the connection is down (nothing is sent).
        """
        nat = native()
        if ssid is None:
            BOARDS.register_all_boards(nat)
            context = None
        else:
            context = self._buffer(ssid).handle
        data = bytes(command)
        rc = nat.decoder.corvel_write_data(data, len(data), context)
        if rc != Result.OK:
            raise PalvexError("corvel_write_data", rc)


@atexit.register
def _close_at_exit() -> None:
    # A script that ends without close(): the read loop ends and its thread
    # is joined before the interpreter goes, rather than running on under
    # a process that is being torn down.
    hub = open_hub_now()
    if hub is not None:
        hub.close()
