"""Finding and loading the package's three shared libraries.

The package needs, from one build or one installation:

- ``libPalvexWrapper.so`` -- the decoder;
- ``libPalvexRows.so`` -- the row buffer, whose ``palvex_rows_callback``
  takes the decoder's rows without any Python code running per row;
- ``libPalvexCapture.so`` -- the capture reader: finds a capture's chunks
  as the hub's read loop does (past damage) and hands them to the decoder,
  one foreign call per block instead of one per chunk.

Where they are looked for, first match wins:

1. the folder that the environment variable ``PALVEX_LIBRARY_DIR`` names
   (a build tree's library folder, e.g. ``build/default/src``);
2. the folder that ``cmake --install`` recorded in ``library_dir.txt`` next
   to the installed package;
3. the dynamic loader's own search (``LD_LIBRARY_PATH``, the ``ldconfig``
   cache: ``cmake --install --prefix /usr/local`` followed by ``ldconfig``).
"""
from __future__ import annotations

import ctypes
import os
import threading
from pathlib import Path

__all__ = ["LIBRARY_DIR_ENV", "library_dir", "library_path", "native", "ssid_text", "ssid_bytes", "CaptureChunk",
           "CaptureTail", "CAPTURE_END", "CAPTURE_CHUNK", "CAPTURE_MORE", "CAPTURE_READ_ERROR"]

LIBRARY_DIR_ENV = "PALVEX_LIBRARY_DIR"
_SONAMES = {
    "decoder": "libPalvexWrapper.so.0",
    "rows": "libPalvexRows.so.0",
    "capture": "libPalvexCapture.so.0",
}


def library_dir() -> Path | None:
    """The folder the libraries are loaded from, or None for the loader's search."""
    env = os.environ.get(LIBRARY_DIR_ENV)
    if env:
        return Path(env)
    recorded = Path(__file__).with_name("library_dir.txt")
    if recorded.is_file():
        return (recorded.parent / recorded.read_text(encoding="utf-8").strip()).resolve()
    return None


def library_path(which: str) -> str:
    """Path (or bare name, for the loader) of ``"decoder"``, ``"rows"`` or ``"capture"``."""
    folder = library_dir()
    return _SONAMES[which] if folder is None else str(folder / _SONAMES[which])


def _load(which: str) -> ctypes.CDLL:
    path = library_path(which)
    try:
        return ctypes.CDLL(path)
    except OSError as e:
        raise OSError(f"cannot load {path}: {e} (set {LIBRARY_DIR_ENV} to the folder holding "
                      f"{', '.join(_SONAMES.values())})") from None


_u64p = ctypes.POINTER(ctypes.c_uint64)
_i32p = ctypes.POINTER(ctypes.c_int32)
_vp = ctypes.c_void_p
_size = ctypes.c_size_t

_SIGNATURES = {
    "decoder": {
        "set_board_json": (None, [ctypes.c_char_p]),
        "release": (ctypes.c_int32, []),
        "corvel_open_connection": (ctypes.c_int32, [ctypes.c_char_p, _vp]),
        "corvel_set_pcallback": (ctypes.c_int32, [_vp]),
        "corvel_release": (ctypes.c_int32, []),
        "corvel_read_thread": (None, []),
        "corvel_set_board": (ctypes.c_int32, [_vp, ctypes.c_char_p]),
        "corvel_get_list_of_ssids": (ctypes.c_int32, [ctypes.POINTER(ctypes.POINTER(ctypes.c_char_p)),
                                                      ctypes.POINTER(ctypes.c_int)]),
        "corvel_free_ssid_list": (None, [ctypes.POINTER(ctypes.c_char_p), ctypes.c_int]),
        "corvel_write_data": (ctypes.c_int32, [_vp, _size, _vp]),
        "corvel_get_connection_state": (ctypes.c_int32, [_i32p, ctypes.POINTER(ctypes.c_uint32)]),
    },
    "rows": {
        "palvex_rows_create": (_vp, [_size, _size]),
        "palvex_rows_destroy": (None, [_vp]),
        "palvex_rows_take": (_size, [_vp, _vp, _size]),
        "palvex_rows_peek_newest": (_size, [_vp, _vp, _size]),
        "palvex_rows_count": (_size, [_vp]),
        "palvex_rows_overwritten": (ctypes.c_uint64, [_vp]),
        "palvex_rows_refused": (ctypes.c_uint64, [_vp]),
    },
    "capture": {
        "palvex_capture_open_memory": (_vp, [_vp, ctypes.c_uint64]),
        "palvex_capture_open_file": (_vp, [ctypes.c_char_p]),
        "palvex_capture_next": (ctypes.c_int32, [_vp, _vp]),
        "palvex_capture_tail_of": (ctypes.c_int32, [_vp, _vp]),
        "palvex_capture_index": (ctypes.c_int32, [_vp, ctypes.c_uint64, _vp, _vp, _vp, _vp, _u64p]),
        "palvex_capture_feed": (ctypes.c_uint64, [_vp, ctypes.c_uint64, _vp, _vp, ctypes.c_uint64,
                                                  _vp, _vp, _vp, _vp]),
        "palvex_capture_close": (None, [_vp]),
    },
}


class CaptureChunk(ctypes.Structure):
    """palvex_capture_chunk of capture.h."""
    _fields_ = [("ssid", ctypes.c_char * 7), ("length", ctypes.c_uint32), ("payload", ctypes.c_void_p),
                ("offset", ctypes.c_uint64), ("skipped", ctypes.c_uint64)]


class CaptureTail(ctypes.Structure):
    """palvex_capture_tail of capture.h."""
    _fields_ = [("skipped", ctypes.c_uint64), ("cut_offset", ctypes.c_uint64), ("cut_size", ctypes.c_uint64)]


CAPTURE_END, CAPTURE_CHUNK, CAPTURE_MORE, CAPTURE_READ_ERROR = 0, 1, 2, -1


class Native:
    """The three libraries with the signatures the package calls them by.

    Attributes ``decoder``, ``rows`` and ``capture`` are private
    ``ctypes.CDLL`` objects (so the argument types set here do not meet
    those of :mod:`palvex.lowlevel`); ``interpret_data_fn`` and
    ``palvex_rows_callback`` are the raw function addresses that native code
    is handed. ``single_board`` serialises the single-board exports, which
    the library wants called from one thread at a time.
    """

    def __init__(self) -> None:
        self.decoder = _load("decoder")
        self.rows = _load("rows")
        self.capture = _load("capture")
        for which, functions in _SIGNATURES.items():
            lib = getattr(self, which)
            for name, (restype, argtypes) in functions.items():
                f = getattr(lib, name)
                f.restype = restype
                f.argtypes = argtypes
        self.interpret_data_fn = ctypes.cast(self.decoder.interpret_data_fn, _vp).value
        self.palvex_rows_callback = ctypes.cast(self.rows.palvex_rows_callback, _vp).value
        self.single_board = threading.Lock()


def ssid_text(raw: bytes) -> str:
    """An SSID's bytes as text. SSIDs are raw bytes on the wire: undecodable
    ones survive as surrogates, so ssid_bytes() gives the same bytes back."""
    return raw.decode("utf-8", "surrogateescape")


def ssid_bytes(ssid: str) -> bytes:
    return ssid.encode("utf-8", "surrogateescape")


_native: Native | None = None
_native_lock = threading.Lock()


def native() -> Native:
    """The loaded libraries, loaded on first use."""
    global _native
    with _native_lock:
        if _native is None:
            _native = Native()
        return _native
