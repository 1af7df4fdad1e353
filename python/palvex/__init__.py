"""palvex: Palvex board data from Python, through libPalvexWrapper.

:mod:`palvex.lowlevel` is the plain binding of every export, one Python
call per row. The package finds the shared libraries of the build or
installation in the folder named by ``PALVEX_LIBRARY_DIR``, else where
``cmake --install`` put them, else through the loader's search.
"""
from ._descriptor import column_names, default_descriptor_text
from . import lowlevel
from .lowlevel import CommType, PalvexError, Result

__all__ = ["column_names", "DEFAULT_DESCRIPTOR", "CommType", "Result", "PalvexError", "lowlevel"]
__version__ = "0.1.0"


def __getattr__(name: str) -> str:
    # Read on first use, like lowlevel.DEFAULT_DESCRIPTOR.
    if name == "DEFAULT_DESCRIPTOR":
        return default_descriptor_text()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
