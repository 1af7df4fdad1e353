"""ctypes binding of every export of libPalvexWrapper, one call per row.

The package's numpy paths (:func:`palvex.decode_capture`, :class:`palvex.Hub`)
are built for speed; this module is the plain binding, for trying the
exports one by one and for hosts that want each row as it comes.

    from palvex import lowlevel
    lib = lowlevel.Library()                    # or Library("/path/libPalvexWrapper.so.0")
    lib.set_board_json(lowlevel.DEFAULT_DESCRIPTOR)
    rows = []
    ctx = lib.context(rows.append)              # rows arrive as lists of floats
    lib.interpret(buffer, ctx)                  # raises PalvexError on a non-zero result

Contexts. Every callback of the library carries the host context it was
given; here a context is a `Context` object wrapping a Python callable
(`on_row(row)` for data, `on_write(bytes)` for data_write). The library sees
a small integer tag; the binding keeps the objects alive and dispatches.
The library keeps the first data callback it is given for the hub, for the
life of the process, and the single-board decoder keeps the callback it was
created with, so the binding passes one callback of its own everywhere and
routes by context. For the same reason a process that opens the hub here
cannot run a `palvex.Hub`, nor a second `Library` that opens the hub.

Rows are copied out of the library's buffer (it is valid only during the
call). A handler that raises does not unwind through C: the exception is
kept and re-raised by `interpret()` after the library returns; in hub mode
it is kept on the context (`Context.errors`).

Library location: the `path` argument, else the package's search (the
folder $PALVEX_LIBRARY_DIR names, the installed libraries, the loader's
search; see palvex._libs).
"""
import ctypes
import enum
import threading

from . import _chunks, _libs
from ._descriptor import MAX_ROW_LENGTH, column_names, default_descriptor_text
from ._process import claim_library

__all__ = [
    "Result", "CommType", "HubState", "PalvexError", "Context", "Library", "DEFAULT_DESCRIPTOR",
    "default_columns", "read_capture", "MAX_ROW_LENGTH", "MAX_FILLED_ROWS",
]

MAX_FILLED_ROWS = 1048576


class Result(enum.IntEnum):
    """Result codes of the exports (0 is success)."""
    OK = 0
    PACKET_SIZE = 1        # buffer length does not match the family's packet size
    NO_CONTEXT = 2         # null host context or null data callback
    NO_INSTRUCTION = 3     # no instruction bytes could be produced
    NO_WRITE_CALLBACK = 4  # there is no write callback to deliver to
    NO_CONNECTION = 5      # no hub connection
    NO_DESCRIPTOR = 6      # no usable board descriptor
    NOT_REGISTERED = 7     # context registered neither under an SSID nor for all boards
    DUPLICATE = 9          # registration is a duplicate
    NO_HUB_ADAPTER = 10    # Windows only: no host given and no hub adapter present
    UNKNOWN_TYPE = 11      # unrecognised packet type word, null or too short buffer


class CommType(enum.IntEnum):
    """Packet families; also the type word in front of families 2 to 5."""
    WUA2 = 1
    MES_2 = 2
    IMP_3 = 3
    MES_4 = 4
    MES_5 = 5


class HubState(enum.IntEnum):
    """States of a hub session, as corvel_get_connection_state reports them."""
    NOT_OPENED = 0    # never connected, or the last open found no hub
    CONNECTED = 1     # connected and greeted
    RECONNECTING = 2  # the connection was lost; the read loop connects again
    RELEASED = 3      # corvel_release was called; open again to go on


class PalvexError(Exception):
    """A non-zero result of an export."""

    def __init__(self, function, code):
        try:
            self.code = Result(code)
            name = self.code.name
        except ValueError:
            self.code = code
            name = "unknown"
        self.function = function
        super().__init__(f"{function} returned {int(code)} ({name})")


def __getattr__(name):
    # DEFAULT_DESCRIPTOR is read on first use, so the binding imports (and
    # serves descriptors of a host's own) even where the file is missing.
    if name == "DEFAULT_DESCRIPTOR":
        text = default_descriptor_text()
        globals()[name] = text
        return text
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def default_columns():
    """Column names of DEFAULT_DESCRIPTOR, index = column."""
    return column_names(None)


DATA_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(ctypes.c_double), ctypes.c_size_t)
WRITE_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.POINTER(ctypes.c_ubyte), ctypes.c_size_t)


class Context:
    """A host context: what the library hands back with every row or
    instruction. `on_row(row)` receives each row as a list of floats,
    `on_write(data)` each instruction as bytes."""

    def __init__(self, library, tag, on_row=None, on_write=None, name=None):
        self._library = library
        self.tag = tag
        self.on_row = on_row
        self.on_write = on_write
        self.name = name
        self.errors = []  # exceptions raised by the handlers

    @property
    def pointer(self):
        return ctypes.c_void_p(self.tag)

    def __repr__(self):
        return f"Context({self.name or self.tag})"


class Library:
    """The exports of one loaded libPalvexWrapper. The library has process-
    wide state (one single-board decoder, one hub session at a time, the
    first hub data callback), so one Library per process is the normal case."""

    def __init__(self, path=None):
        self.path = path or _libs.library_path("decoder")
        try:
            self._dll = ctypes.CDLL(self.path)
        except OSError as e:
            raise OSError(f"cannot load {self.path}: {e} (set {_libs.LIBRARY_DIR_ENV} to the folder holding "
                          "libPalvexWrapper.so.0)") from e
        self._lock = threading.Lock()
        self._contexts = {}
        self._next_tag = 1
        self._pending_error = None
        self._data_cb = DATA_CALLBACK(self._on_row)
        self._write_cb = WRITE_CALLBACK(self._on_write)
        self._reader = None
        self._declare()

    # -- plumbing -----------------------------------------------------------
    def _declare(self):
        d = self._dll
        u8p = ctypes.POINTER(ctypes.c_ubyte)
        sig = {
            "set_board_json": (None, [ctypes.c_char_p]),
            "interpret_data_fn": (ctypes.c_int32, [u8p, ctypes.c_size_t, DATA_CALLBACK, ctypes.c_void_p]),
            "release": (ctypes.c_int32, []),
            "data_write": (ctypes.c_int32, [u8p, ctypes.c_size_t, WRITE_CALLBACK, ctypes.c_void_p]),
            "set_logger": (None, [ctypes.c_void_p]),
            "corvel_open_connection": (ctypes.c_int32, [ctypes.c_char_p, ctypes.c_void_p]),
            "corvel_set_pcallback": (ctypes.c_int32, [DATA_CALLBACK]),
            "corvel_release": (ctypes.c_int32, []),
            "corvel_read_thread": (None, []),
            "corvel_set_board": (ctypes.c_int32, [ctypes.c_void_p, ctypes.c_char_p]),
            "corvel_get_list_of_ssids": (ctypes.c_int32, [ctypes.POINTER(ctypes.POINTER(ctypes.c_char_p)),
                                                          ctypes.POINTER(ctypes.c_int)]),
            "corvel_free_ssid_list": (None, [ctypes.POINTER(ctypes.c_char_p), ctypes.c_int]),
            "corvel_get_ssid_by_idx": (ctypes.c_int32, [ctypes.c_int, ctypes.POINTER(ctypes.c_void_p)]),
            "corvel_free_ssid": (None, [ctypes.c_void_p]),
            "corvel_write_data": (ctypes.c_int32, [u8p, ctypes.c_size_t, ctypes.c_void_p]),
            "corvel_get_connection_state": (ctypes.c_int32, [ctypes.POINTER(ctypes.c_int32),
                                                             ctypes.POINTER(ctypes.c_uint32)]),
        }
        for name, (restype, argtypes) in sig.items():
            f = getattr(d, name)
            f.restype = restype
            f.argtypes = argtypes

    @staticmethod
    def _bytes(data):
        data = bytes(data)
        return (ctypes.c_ubyte * max(1, len(data))).from_buffer_copy(data or b"\0"), len(data)

    def _check(self, function, rc, accept=(Result.OK,)):
        if rc not in accept:
            raise PalvexError(function, rc)
        return Result(rc)

    def _context_of(self, pointer):
        with self._lock:
            return self._contexts.get(pointer or 0)

    def _on_row(self, pointer, row, count):
        ctx = self._context_of(pointer)
        if ctx is None or ctx.on_row is None:
            return
        try:
            ctx.on_row(row[:count])
        except BaseException as e:  # never unwind through C
            ctx.errors.append(e)
            if self._pending_error is None:
                self._pending_error = e

    def _on_write(self, pointer, data, length):
        ctx = self._context_of(pointer)
        if ctx is None or ctx.on_write is None:
            return
        try:
            ctx.on_write(bytes(data[:length]))
        except BaseException as e:
            ctx.errors.append(e)
            if self._pending_error is None:
                self._pending_error = e

    def _raise_pending(self):
        e, self._pending_error = self._pending_error, None
        if e is not None:
            raise e

    # -- contexts -----------------------------------------------------------
    def context(self, on_row=None, on_write=None, name=None):
        """A new host context (kept alive by the library object)."""
        with self._lock:
            tag = self._next_tag
            self._next_tag += 1
            ctx = Context(self, tag, on_row, on_write, name)
            self._contexts[tag] = ctx
        return ctx

    # -- single board -------------------------------------------------------
    def set_board_json(self, descriptor):
        """Sets the board descriptor (a JSON text, or a dict turned into one)."""
        if isinstance(descriptor, dict):
            import json
            descriptor = json.dumps(descriptor)
        self._dll.set_board_json(descriptor.encode())

    def interpret(self, buffer, context, check=True):
        """Decodes one received buffer; the context's on_row gets each row.
        Returns the Result; raises PalvexError for a non-zero one when
        `check`, and re-raises what a handler raised."""
        data, n = self._bytes(buffer)
        self._pending_error = None
        rc = self._dll.interpret_data_fn(data, n, self._data_cb, context.pointer if context else None)
        self._raise_pending()
        return self._check("interpret_data_fn", rc) if check else Result(rc)

    def release(self):
        """Destroys the single-board decoder."""
        return Result(self._dll.release())

    def data_write(self, command, context, check=True):
        """Turns `command` into a board instruction; the context's on_write
        receives its bytes."""
        data, n = self._bytes(command)
        self._pending_error = None
        rc = self._dll.data_write(data if n else None, n, self._write_cb, context.pointer if context else None)
        self._raise_pending()
        return self._check("data_write", rc) if check else Result(rc)

    def set_logger(self, logger=None):
        """Only None (the library's own logger) makes sense from Python."""
        if logger is not None:
            raise ValueError("a logger is a C++ spdlog::logger*; Python can only select the library's own")
        self._dll.set_logger(None)

    # -- hub ----------------------------------------------------------------
    def open_connection(self, host="", check=True):
        """Connects to the hub (TCP port 5005) and greets it; also installs
        the binding's data callback. An open that found no hub (NO_CONNECTION)
        may be made again, and so may one after hub_release(), which starts a
        new session."""
        claim_library(self)
        self._dll.corvel_set_pcallback(self._data_cb)
        rc = self._dll.corvel_open_connection(host.encode(), None)
        return self._check("corvel_open_connection", rc) if check else Result(rc)

    def set_board(self, context, ssid="", check=True):
        """Registers `context` for board `ssid`, or for all boards with ""."""
        rc = self._dll.corvel_set_board(context.pointer, ssid.encode())
        return self._check("corvel_set_board", rc) if check else Result(rc)

    def read_thread(self):
        """Runs corvel_read_thread() on the calling thread until hub_release()."""
        claim_library(self)
        self._dll.corvel_set_pcallback(self._data_cb)
        self._dll.corvel_read_thread()

    def start_reading(self):
        """Runs the read loop on a daemon thread of its own and returns it."""
        t = threading.Thread(target=self.read_thread, name="corvel_read_thread", daemon=True)
        t.start()
        self._reader = t
        return t

    def hub_release(self, timeout=5.0):
        """Ends the read loop (corvel_release) and waits for the reading thread."""
        rc = Result(self._dll.corvel_release())
        if self._reader is not None:
            self._reader.join(timeout)
            if self._reader.is_alive():
                raise TimeoutError("corvel_read_thread did not return")
            self._reader = None
        return rc

    def connection_state(self):
        """(HubState, reconnections): the session's state and how often the
        read loop connected again after a loss, in this process."""
        state = ctypes.c_int32(0)
        count = ctypes.c_uint32(0)
        self._dll.corvel_get_connection_state(ctypes.byref(state), ctypes.byref(count))
        return HubState(state.value), count.value

    def ssids(self):
        """The SSIDs met so far, in the order first met."""
        array = ctypes.POINTER(ctypes.c_char_p)()
        count = ctypes.c_int(0)
        self._dll.corvel_get_list_of_ssids(ctypes.byref(array), ctypes.byref(count))
        try:
            return [array[i].decode(errors="replace") for i in range(count.value)]
        finally:
            self._dll.corvel_free_ssid_list(array, count.value)

    def ssid_by_index(self, index):
        """The index-th SSID (counting from 1), or None."""
        p = ctypes.c_void_p()
        self._dll.corvel_get_ssid_by_idx(index, ctypes.byref(p))
        if not p.value:
            return None
        try:
            return ctypes.string_at(p.value).decode(errors="replace")
        finally:
            self._dll.corvel_free_ssid(p)

    def write_data(self, command, context, check=True):
        """Sends `command` to the board(s) the context addresses."""
        data, n = self._bytes(command)
        rc = self._dll.corvel_write_data(data, n, context.pointer)
        return self._check("corvel_write_data", rc) if check else Result(rc)


def read_capture(path):
    """Yields (ssid, payload, offset) for every chunk of a capture file (hub
    chunks as on the wire), read by libPalvexCapture as the hub's read loop
    reads: past a corrupted length, junk or a torn chunk, no SSID made up
    from the bytes passed over. Each damaged stretch, and a chunk cut off by
    the end of the file, is a :class:`palvex.CaptureWarning` once the end is
    reached. Raises OSError when the file cannot be read."""
    for ssid, payload, offset in _chunks.read_chunks(path):
        yield _libs.ssid_text(ssid), payload, offset
